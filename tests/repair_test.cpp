// vistrel's repairs: -w rewrites the bitmap and the root block, -c clears the
// bitmap-valid flag, -n keeps both from changing the image.  Every test looks
// at the image bytes afterwards and at what a second, read-only run reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// file a (882, data 883) and directory d (884) holding file b (885, data
// 886); the root's dircache block 1500 on dircache volumes
std::unique_ptr<tv::Volume> small_volume(std::uint32_t block_size, std::uint32_t dos_type, std::uint32_t flag)
{
    tv::VolumeSetup setup;
    setup.block_size = block_size;
    setup.dos_type = dos_type;
    setup.bitmap_flag = flag;
    auto v = std::make_unique<tv::Volume>(setup);
    v->add_file(v->root(), "a", 1);
    std::uint32_t d = v->add_dir(v->root(), "d");
    v->add_file(d, "b", 1);
    if (tv::dos_is_dircache(dos_type))
        v->add_dircache(v->root(), 1, {1500});
    v->finish();
    return v;
}

// a block of the tree marked free on the volume, a free block marked in use
void wrong_bits(tv::Volume &v)
{
    v.set_disk_bit(883, false);
    v.set_disk_bit(1000, true);
}


std::string write_image(tv::Volume &v, const std::string &name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}

// The byte offsets at which two images of the same size differ.
std::vector<std::size_t> differences(const Bytes &a, const Bytes &b)
{
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i])
            at.push_back(i);
    return at;
}

struct Variant {
    std::uint32_t block_size, dos_type;
    const char *detected;  // without its end
};

const Variant variants[] = {
    {512, tv::kDos1, "detected a fast amiga filesystem"},
    {1024, tv::kDos0, "detected a old amiga filesystem"},
    {2048, tv::kDos0 + 3, "detected a international fast amiga filesystem"},
    {4096, tv::kDos0 + 5, "detected a dircache fast amiga filesystem"},
};

std::string small_listing(bool dircache)
{
    return std::string(dircache ? " [1500]\n" : "") +
           "       882 a                                       1 Tue Nov 14 22:13:20 2023 \n"
           " [883]\n"
           "       884 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n" +
           (dircache ? "\n" : "") +
           "       885 b                                       1 Tue Nov 14 22:13:20 2023 \n"
           " [886]\n";
}

// -w on a volume marked not cleanly unmounted, with and without wrong bits:
// the image becomes exactly the sound one, and a second run finds nothing.
TEST(Repair, WriteRebuildsTheBitmap)
{
    for (const Variant &variant : variants) {
        for (bool damaged : {true, false}) {
            SCOPED_TRACE(testing::Message() << variant.detected << (damaged ? ", wrong bits" : ", sound bitmap"));
            bool dircache = tv::dos_is_dircache(variant.dos_type);
            auto sound = small_volume(variant.block_size, variant.dos_type, 0xFFFFFFFF);
            auto v = small_volume(variant.block_size, variant.dos_type, 0);
            if (damaged)
                wrong_bits(*v);
            std::string image = write_image(*v, "repair.adf");

            std::string head = std::string("root block found at 880\n") + variant.detected;
            e2e::Run first = e2e::vistrel({"-w", "-vv", image});
            std::string expected = head + " (not cleanly unmounted)\nread bitmap 0 : 881\n";
            expected += small_listing(dircache);
            expected += damaged ? "bitmap check: <883> {1000} \n" : "bitmap check: \n";
            EXPECT_EQ(first.out, expected + "write bitmap 0 : 881\nwriting root block at 880\n");
            EXPECT_EQ(first.status, 0);
            EXPECT_EQ(e2e::read_file(image), sound->bytes());

            e2e::Run second = e2e::vistrel({"-n", "-vv", image});
            expected = head + "\nread bitmap 0 : 881\n";
            expected += small_listing(dircache);
            EXPECT_EQ(second.out, expected + "bitmap check: \n");
            EXPECT_EQ(second.status, 0);
        }
    }
}

// 26 bitmap blocks: the one that an extension block names is rewritten too.
TEST(Repair, WriteThroughAnExtensionBlock)
{
    auto build = [](std::uint32_t flag) {
        tv::VolumeSetup setup;
        setup.total_blocks = 101603;
        setup.bitmap_flag = flag;
        auto v = std::make_unique<tv::Volume>(setup);
        v->add_file(v->root(), "a", 1);
        v->finish();
        return v;
    };
    auto sound = build(0xFFFFFFFF);
    auto v = build(0);
    ASSERT_EQ(v->bitmap_blocks().back(), 50829u);
    v->set_disk_bit(101602, true);  // in bitmap block 25
    v->set_disk_bit(50831, false);  // a's data block
    std::string image = write_image(*v, "repair-ext.adf");
    const std::string line = "     50830 a                                       1 Tue Nov 14 22:13:20 2023 \n";

    e2e::Run first = e2e::vistrel({"-w", "-v", image});
    EXPECT_EQ(first.out, "root block found at 50802\n"
                         "detected a fast amiga filesystem (not cleanly unmounted)\n" +
                             line + "writing root block at 50802\n");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(e2e::read_file(image), sound->bytes());

    std::string expected = "root block found at 50802\ndetected a fast amiga filesystem\n";
    expected += e2e::root_bitmap_reads(50803);
    expected += "read ext bitmap: 50828\nread bitmap 0: 50829\n" + line + " [50831]\nbitmap check: \n";
    e2e::Run second = e2e::vistrel({"-n", "-vv", image});
    EXPECT_EQ(second.out, expected);
}

// With bitmap errors the bitmap is not written, but the root block is, with
// its flag as it was read: the image keeps every byte, the run fails.
TEST(Repair, WriteRefusedAfterBitmapErrors)
{
    struct Row {
        const char *name;
        std::function<std::unique_ptr<tv::Volume>()> build;
        std::string out;
        const char *second;
    };
    const Row rows[] = {
        {"bitmap block with a wrong checksum that a file's data block claims",
         [] {
             auto v = small_volume(512, tv::kDos1, 0);
             v->put32(881, 100, 1);
             v->put32(882, tv::off::data_ptr(512, 0), 881);
             v->reseal_header(882);
             return v;
         },
         "root block found at 880\n"
         "detected a fast amiga filesystem (not cleanly unmounted)\n"
         "vistrel: bitmap block 881 has invalid checksum\n"
         "       882 a                                       1 Tue Nov 14 22:13:20 2023 \n"
         "       884 d                                   <DIR> Tue Nov 14 22:13:20 2023  \n"
         "       885 b                                       1 Tue Nov 14 22:13:20 2023 \n"
         "vistrel: error in bitmap (bitmap-checksum). abort writing bitmap\n"
         "writing root block at 880\n",
         "detected a fast amiga filesystem (not cleanly unmounted)\n"
         "vistrel: bitmap block 881 has invalid checksum\n"},
        {"bitmap extension chain loop",
         [] {
             tv::VolumeSetup setup;
             setup.total_blocks = 101603;
             auto v = std::make_unique<tv::Volume>(setup);
             v->finish();
             v->put32(50828, 4, 50828);
             return v;
         },
         "root block found at 50802\n"
         "detected a fast amiga filesystem\n"
         "vistrel: block 50828 already allocated\n"
         "vistrel: bitmap extension chain loops at block 50828\n"
         "vistrel: error in bitmap (bitmap-ext-loop). abort writing bitmap\n"
         "writing root block at 50802\n",
         "detected a fast amiga filesystem\n"
         "vistrel: block 50828 already allocated\n"
         "vistrel: bitmap extension chain loops at block 50828\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto v = row.build();
        std::string image = write_image(*v, "refused.adf");
        Bytes before = e2e::read_file(image);
        e2e::Run run = e2e::vistrel({"-w", "-v", image});
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(e2e::read_file(image), before);
        EXPECT_EQ(e2e::vistrel({"-n", image}).out, row.second);
    }
}

// -c writes the root block with bitmap_flag 0 and a new checksum, nothing
// else; with -w as well the clear alone happens.
TEST(Repair, ClearTheBitmapFlag)
{
    struct Row {
        std::uint32_t block_size;
        std::vector<std::string> args;
        const char *out;
    };
    const Row rows[] = {
        {512, {"-c"}, ""},
        {1024, {"-c", "-v"}, "root block found at 880\nwriting root block at 880\n"},
        {2048, {"-c"}, ""},
        {4096, {"-c", "-vv"}, "root block found at 880\nwriting root block at 880\n"},
        {512, {"-c", "-w", "-v"}, "root block found at 880\nwriting root block at 880\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.block_size << " " << row.args.back());
        auto v = small_volume(row.block_size, tv::kDos1, 0xFFFFFFFF);
        auto cleared = small_volume(row.block_size, tv::kDos1, 0);
        wrong_bits(*v);
        wrong_bits(*cleared);
        std::string image = write_image(*v, "clear.adf");
        Bytes before = e2e::read_file(image);

        std::vector<std::string> args = row.args;
        args.push_back(image);
        e2e::Run run = e2e::vistrel(args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 0);
        Bytes after = e2e::read_file(image);
        EXPECT_EQ(after, cleared->bytes());
        // only bytes of the checksum long and of the flag long changed
        std::size_t root = 880 * std::size_t(row.block_size), flag = root + row.block_size - 200;
        for (std::size_t i : differences(before, after))
            EXPECT_TRUE((i >= root + 20 && i < root + 24) || (i >= flag && i < flag + 4)) << i;
        EXPECT_EQ(e2e::read_be32(image, flag), 0u);

        EXPECT_EQ(e2e::vistrel({"-n", image}).out, "detected a fast amiga filesystem (not cleanly unmounted)\n");
    }
}

// -n opens the image read-only: every write fails, nothing changes, and the
// run reports the failure.
TEST(Repair, ReadOnlyChangesNothing)
{
    struct Row {
        std::vector<std::string> args;
        const char *out;
    };
    const Row rows[] = {
        // the root block, marking the bitmap not valid, is the first write
        // of -w: when it fails, no bitmap block is written
        {{"-n", "-w"},
         "detected a fast amiga filesystem\n"
         "vistrel: unable to write block 880 (Bad file descriptor)\n"},
        {{"-n", "-c"}, "vistrel: unable to write block 880 (Bad file descriptor)\n"},
        {{"-n", "-c", "-w"}, "vistrel: unable to write block 880 (Bad file descriptor)\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args.back());
        auto v = small_volume(512, tv::kDos1, 0xFFFFFFFF);
        wrong_bits(*v);
        std::string image = write_image(*v, "readonly.adf");
        Bytes before = e2e::read_file(image);
        std::vector<std::string> args = row.args;
        args.push_back(image);
        e2e::Run run = e2e::vistrel(args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(e2e::read_file(image), before);
    }
}

}  // namespace
