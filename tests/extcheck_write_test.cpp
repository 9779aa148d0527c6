// -w after an extension block that ends its file's walk: the blocks behind it
// were never reached, so writing the rebuilt bitmap would free blocks that a
// live file owns.  -w refuses and leaves the image alone; -w -f writes the
// bitmap of what the walk reached, and never the garbage block's "pointers".
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {

TEST(ExtensionDamage, WriteRefusedUnlessForced)
{
    struct Row {
        const char *name;
        bool reseal;  // false: a bad checksum; true: a sound sum but type 0x5DC
    };
    const Row rows[] = {{"checksum", false}, {"primary type", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        tv::Volume v;
        const std::uint32_t slots = v.table_size();
        std::uint32_t file = v.add_file(v.root(), "f", v.payload() * (2 * slots + 1));
        v.finish();
        // the first extension block holds plausible pointers to free blocks
        std::uint32_t ext = v.ext_blocks(file)[0];
        std::vector<std::uint32_t> garbage;
        for (std::uint32_t i = 0; i < slots; ++i) {
            garbage.push_back(1500 + i);
            v.put32(ext, tv::off::table_long(i), 1500 + i);
        }
        v.put32(ext, tv::off::type, 1500);
        if (row.reseal)
            v.reseal_header(ext);
        for (std::uint32_t b : garbage)
            ASSERT_FALSE(v.disk_used(b)) << b;
        std::string image = e2e::temp_path("refuse.adf");
        v.write(image);
        const std::vector<std::uint8_t> before = e2e::read_file(image);

        e2e::Run refused = e2e::vistrel({"-w", image});
        EXPECT_EQ(refused.status, 1) << refused.out;
        EXPECT_NE(refused.out.find("vistrel: error in directory tree. abort writing bitmap\n"), std::string::npos)
            << refused.out;
        EXPECT_EQ(e2e::read_file(image), before);

        e2e::Run forced = e2e::vistrel({"-w", "-f", image});
        EXPECT_EQ(forced.status, 0) << forced.out;
        tv::ImageFile written(image, v);
        for (std::uint32_t b : garbage)
            EXPECT_FALSE(written.disk_used(b)) << b;
        // what the walk reached stays in use; the blocks behind the damage
        // are free now, as the report before -w said
        EXPECT_TRUE(written.disk_used(file));
        for (std::uint32_t i = 0; i < slots; ++i)
            EXPECT_TRUE(written.disk_used(v.data_blocks(file)[i])) << i;
        for (std::uint32_t b : v.ext_blocks(file))
            EXPECT_FALSE(written.disk_used(b)) << b;
        EXPECT_FALSE(written.disk_used(v.data_blocks(file)[slots]));
    }
}

}  // namespace
