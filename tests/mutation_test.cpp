// One metadata field at a time is damaged (zero, all ones, +1, -1, a block
// past the end), with and without a fresh checksum.  Whatever the damage, the
// checker ends with a defined status, a read-only run changes nothing, -w
// writes nothing when the damage hid blocks from the walk, and once -w (or,
// after such damage, -w -f) has written the bitmap a second run finds no
// difference.
#include "e2e.h"
#include "mutation_cases.h"
#include "volbuilder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

void check_survives(Built &b, const std::string &what)
{
    SCOPED_TRACE(what);
    std::string image = e2e::temp_path("mutated.adf");
    b.volume.write(image);
    std::vector<std::uint8_t> before = e2e::read_file(image);

    // the damage lies below the root block and the bitmap: the check always
    // reads the volume to its end and reports what it found
    e2e::Run look = e2e::vistrel({"-n", "-vv", image});
    ASSERT_EQ(look.status, 0) << look.out;
    ASSERT_EQ(e2e::read_file(image), before);

    e2e::Run repair = e2e::vistrel({"-w", image});
    if (repair.out.find("vistrel: error in bitmap (") != std::string::npos) {
        // a bitmap pointer that names no bitmap block: nothing is written
        ASSERT_EQ(repair.status, 1) << repair.out;
        ASSERT_EQ(e2e::read_file(image), before);
        return;
    }
    if (repair.out.find("error in directory tree. abort writing bitmap\n") != std::string::npos) {
        // damage that hid blocks: nothing written unless forced
        ASSERT_EQ(repair.status, 1) << repair.out;
        ASSERT_EQ(e2e::read_file(image), before);
        repair = e2e::vistrel({"-w", "-f", image});
    }
    ASSERT_EQ(repair.status, 0) << repair.out;
    e2e::Run again = e2e::vistrel({"-n", "-vv", image});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("bitmap check: \n"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("(not cleanly unmounted)"), std::string::npos);
}

}  // namespace

TEST(Mutation, EveryFieldDamagedOnceAndRepaired)
{
    for (bool reseal : {true, false}) {
        for (std::size_t kind = 0; kind < 3; ++kind) {
            Built shape{tv::Volume({.dos_type = tv::kDos0 + 5, .name = "Mutant"}), {}, {}, {}, {}};
            populate(shape);
            const std::vector<std::uint32_t> &blocks =
                kind == 0 ? shape.headers : kind == 1 ? shape.extensions : shape.dircaches;
            const Field *fields = kind == 0 ? header_fields : kind == 1 ? extension_fields : dircache_fields;
            std::size_t field_count = kind == 0   ? std::size(header_fields)
                                      : kind == 1 ? std::size(extension_fields)
                                                  : std::size(dircache_fields);
            for (std::size_t index = 0; index < blocks.size(); ++index) {
                for (std::size_t f = 0; f < field_count; ++f) {
                    std::uint32_t offset = fields[f].offset(512);
                    std::uint32_t old = shape.volume.get32(blocks[index], offset);
                    for (std::uint32_t value : damaged_values(old, 1760)) {
                        Built b{tv::Volume({.dos_type = tv::kDos0 + 5, .name = "Mutant"}), {}, {}, {}, {}};
                        populate(b);
                        std::uint32_t block = blocks[index];
                        b.volume.put32(block, offset, value);
                        if (reseal)
                            b.volume.reseal_header(block);
                        check_survives(b, std::string(fields[f].name) + " of block " + std::to_string(block) +
                                              " = " + std::to_string(value) + (reseal ? " resealed" : ""));
                    }
                }
            }
        }
    }
}

TEST(Mutation, BitmapPointersDamagedOnce)
{
    for (std::uint32_t value : {0u, 1u, 880u, 1759u, 1760u, 0xFFFFFFFFu}) {
        Built b{tv::Volume({.name = "Bitmap"}), {}, {}, {}, {}};
        populate(b);
        std::uint32_t root = b.volume.root();
        b.volume.put32(root, tv::off::bitmap_pages(512), value);  // the first bitmap pointer
        b.volume.reseal_header(root);
        check_survives(b, "bitmap pointer " + std::to_string(value));
    }
}
