// Files within one data block of 4 GiB: their block count must not wrap.
#include "e2e.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

TEST(BigFile, LargestFileSizesCountEveryDataBlock)
{
    struct Case {
        std::uint32_t dos_type, byte_size;
    };
    // FFS and OFS payloads (4096 and 4072 bytes per data block)
    for (Case c : {Case{tv::kDos1, 0xFFFFFFFFu}, Case{tv::kDos0, 0xFFFFFFFFu}, Case{tv::kDos1, 0xFFFFF001u}}) {
        SCOPED_TRACE(c.dos_type);
        tv::Volume v({.block_size = 4096, .total_blocks = 1100000, .dos_type = c.dos_type, .name = "Big"});
        v.add_file(v.root(), "huge", c.byte_size);
        std::string image = e2e::temp_path("big.hdf");
        v.write(image);
        e2e::Run r = e2e::vistrel({"-n", "-vv", image});
        EXPECT_EQ(r.status, 0);
        // no message: every pointer lies within the file's size (the OFS
        // data blocks of this sparse image are zeros, which the check of
        // their headers reports, and nothing else)
        std::string others;
        for (std::size_t at = 0; (at = r.out.find("vistrel:", at)) != std::string::npos; ++at) {
            std::string line = r.out.substr(at, r.out.find('\n', at) - at + 1);
            if (!line.starts_with("vistrel: data block ") || !line.ends_with(" has invalid primary type 0\n"))
                others += line;
        }
        EXPECT_EQ(others, "") << others.substr(0, 2000);
        EXPECT_TRUE(r.out.ends_with("bitmap check: \n")) << r.out.substr(r.out.size() - 200);
    }
}
