// End-to-end listing and block traces of vistrel -v / -vv on volumes built
// with the test-volume builder: every entry kind, every block size and
// variant, dates, names and comments, and the data block count of files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {

std::string write_image(tv::Volume &v, const std::string &name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}

tv::VolumeSetup setup(std::uint32_t block_size, std::uint32_t dos_type = tv::kDos1)
{
    tv::VolumeSetup s;
    s.block_size = block_size;
    s.dos_type = dos_type;
    return s;
}

tv::Opts at(std::uint32_t slot, std::string comment = {}, tv::Date date = {})
{
    tv::Opts o;
    o.slot = slot;
    o.comment = std::move(comment);
    o.date = date;
    return o;
}

// The -vv trace of a file: " [n]" for each data block, "\n [ext:n]" before
// the share of each extension block, and the closing newline.
std::string file_trace(const tv::Volume &v, std::uint32_t file)
{
    const std::vector<std::uint32_t> &data = v.data_blocks(file), &ext = v.ext_blocks(file);
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 0 && i % v.table_size() == 0)
            out += "\n [ext:", out += std::to_string(ext.at(i / v.table_size() - 1)), out += "]";
        out += " [", out += std::to_string(data[i]), out += "]";
    }
    return out + "\n";
}

const tv::Date epoch{0, 0, 0}, tick49{0, 0, 49}, tick50{0, 0, 50};


// Listing lines of the populated volume below, in pre-order.
const std::string devs_line = "       882 Devs                                <DIR> Sun Jan  1 00:00:00 1978  system\n";
const std::string startup_line = "       883 startup                               400 Tue Nov 14 22:13:20 2023 \n";
const std::string sl_line = "       885 sl                             <SOFTLINK> Tue Nov 14 22:13:20 2023  \n";
const std::string empty_file_line = "       886 empty                                   0 Tue Nov 14 22:13:20 2023 \n";
const std::string one_line = "       887 one                                     1 Sun Jan  1 00:00:00 1978 \n";
const std::string empty_line = "       889 Empty                               <DIR> Sun Jan  1 00:00:01 1978  \n";
const std::string dl_line = "       890 dl                              <LINKDIR> Tue Nov 14 22:13:20 2023  \n";
const std::string fl_line = "       891 fl                             <FILELINK> Tue Nov 14 22:13:20 2023  link\n";
const std::string readme_line = "       892 readme                                488 Tue Nov 14 22:13:20 2023 read me\n";

// The entries of the populated volume below and the slots they were put in,
// chosen for the order of the listing, not by their names: each one whose
// name hashes elsewhere is reported before its line, at any verbosity.
struct Placed {
    std::uint32_t block, slot;
};
const Placed placed[] = {{882, 0}, {883, 5}, {885, 5}, {886, 1}, {887, 1}, {889, 3}, {890, 7}, {891, 7}, {892, 9}};

// the message about entry `block`, or nothing when its name hashes to its slot
std::string slot_note(const tv::Volume &v, std::uint32_t block)
{
    for (const Placed &p : placed) {
        std::uint32_t hash = v.hash_slot(v.entry(block)->name);
        if (p.block == block && hash != p.slot)
            return "vistrel: dir entry " + std::to_string(block) + " is in hash slot " + std::to_string(p.slot) +
                   ", its name hashes to " + std::to_string(hash) + "\n";
    }
    return "";
}

// Every entry kind, a directory in the root, chains of two in hash slots,
// dircache chains on dircache volumes (the root's, one of two blocks, and a
// directory with none); every file fits one data block at any block size.
void populate(tv::Volume &v, bool dircache)
{
    std::uint32_t root = v.root();
    std::uint32_t devs = v.add_dir(root, "Devs", at(0, "system", epoch));
    std::uint32_t startup = v.add_file(devs, "startup", 400, at(5));
    v.add_softlink(devs, "sl", "Devs/startup", at(5));
    v.add_file(root, "empty", 0, at(1));
    v.add_file(root, "one", 1, at(1, "", tick49));
    v.add_dir(root, "Empty", at(3, "", tick50));
    v.add_hardlink(root, "dl", devs, at(7));
    v.add_hardlink(root, "fl", startup, at(7, "link"));
    v.add_file(root, "readme", 488, at(9, "read me"));
    ASSERT_EQ(v.lookup("readme"), 892u);
    if (dircache) {
        v.add_dircache(root, 1, {1500});
        v.add_dircache(devs, 2, {1501, 1502});
    }
}

TEST(Listing, EveryBlockSizeAndVariant)
{
    for (std::uint32_t block_size : {512u, 1024u, 2048u, 4096u}) {
        for (const e2e::Variant &variant : e2e::variants) {
            SCOPED_TRACE(testing::Message() << "block size " << block_size << ", DOS type " << variant.dos_type);
            bool dircache = tv::dos_is_dircache(variant.dos_type);
            tv::Volume v(setup(block_size, variant.dos_type));
            populate(v, dircache);
            std::string image = write_image(v, "listing.adf");

            auto note = [&](std::uint32_t block) { return slot_note(v, block); };
            std::string head = std::string("root block found at 880\n") + variant.detected;
            e2e::Run one = e2e::vistrel({"-n", "-v", image});
            EXPECT_EQ(one.out, head + note(882) + devs_line + note(883) + startup_line + note(885) + sl_line +
                                   note(886) + empty_file_line + note(887) + one_line + note(889) + empty_line +
                                   note(890) + dl_line + note(891) + fl_line + note(892) + readme_line);
            EXPECT_EQ(one.err, "");
            EXPECT_EQ(one.status, 0);

            std::string expected = head + "read bitmap 0 : 881\n";
            if (dircache)
                expected += " [1500]\n";
            expected += note(882) + devs_line;
            if (dircache)
                expected += " [1501] [1502]\n";
            expected += note(883) + startup_line + " [884]\n" + note(885) + sl_line + note(886) + empty_file_line +
                        "\n" + note(887) + one_line + " [888]\n";
            expected += note(889) + empty_line;
            if (dircache)
                expected += "\n";
            expected += note(890) + dl_line + note(891) + fl_line + note(892) + readme_line + " [893]\nbitmap check: \n";
            e2e::Run two = e2e::vistrel({"-n", "-vv", image});
            EXPECT_EQ(two.out, expected);
            EXPECT_EQ(two.status, 0);

            // without -v only the detection line and the messages
            e2e::Run quiet = e2e::vistrel({"-n", image});
            std::string notes;
            for (const Placed &p : placed)
                notes += note(p.block);
            EXPECT_NE(notes, "");
            EXPECT_EQ(quiet.out, variant.detected + notes);
            EXPECT_EQ(quiet.status, 0);
        }
    }
}

TEST(Listing, EmptyRootAndEmptyRootDircache)
{
    tv::Volume plain;
    e2e::Run run = e2e::vistrel({"-n", "-vv", write_image(plain, "empty.adf")});
    EXPECT_EQ(run.out, "root block found at 880\n"
                       "detected a fast amiga filesystem\n"
                       "read bitmap 0 : 881\n"
                       "bitmap check: \n");
    // a dircache volume whose root has no dircache block: only the newline
    tv::Volume cached(setup(512, tv::kDos0 + 5));
    run = e2e::vistrel({"-n", "-vv", write_image(cached, "empty5.adf")});
    EXPECT_EQ(run.out, "root block found at 880\n"
                       "detected a dircache fast amiga filesystem\n"
                       "read bitmap 0 : 881\n"
                       "\n"
                       "bitmap check: \n");
}

TEST(Listing, DatesInUtcAndInLocalTime)
{
    const tv::Date dates[] = {{0, 0, 0}, {0, 0, 49}, {0, 0, 50}, {0, 1439, 2999}, {365, 720, 0}, {16753, 1333, 1000},
                              {49710, 0, 0}};  // the last wraps at 2^32 seconds
    tv::Volume v;
    for (std::uint32_t i = 0; i < 7; ++i)
        v.add_file(v.root(), std::string{'t', char('0' + i)}, 0, tv::Opts{.date = dates[i]});
    std::string image = write_image(v, "dates.adf");

    e2e::Run utc = e2e::vistrel({"-n", "-v", image});
    EXPECT_EQ(utc.out, "root block found at 880\n"
                       "detected a fast amiga filesystem\n"
                       "       882 t0                                      0 Sun Jan  1 00:00:00 1978 \n"
                       "       883 t1                                      0 Sun Jan  1 00:00:00 1978 \n"
                       "       884 t2                                      0 Sun Jan  1 00:00:01 1978 \n"
                       "       885 t3                                      0 Sun Jan  1 23:59:59 1978 \n"
                       "       886 t4                                      0 Mon Jan  1 12:00:00 1979 \n"
                       "       887 t5                                      0 Tue Nov 14 22:13:20 2023 \n"
                       "       888 t6                                      0 Sat Dec 31 17:31:44 1977 \n");

    e2e::Run local = e2e::run(VISTREL_PATH, {"-n", "-v", image}, {"TZ=EST5EDT"});
    EXPECT_EQ(local.out, "root block found at 880\n"
                         "detected a fast amiga filesystem\n"
                         "       882 t0                                      0 Sat Dec 31 19:00:00 1977 \n"
                         "       883 t1                                      0 Sat Dec 31 19:00:00 1977 \n"
                         "       884 t2                                      0 Sat Dec 31 19:00:01 1977 \n"
                         "       885 t3                                      0 Sun Jan  1 18:59:59 1978 \n"
                         "       886 t4                                      0 Mon Jan  1 07:00:00 1979 \n"
                         "       887 t5                                      0 Tue Nov 14 17:13:20 2023 \n"
                         "       888 t6                                      0 Sat Dec 31 12:31:44 1977 \n");
}

TEST(Listing, NamesAndComments)
{
    tv::Volume v;
    std::uint32_t root = v.root();
    // each in the slot its name hashes to (shown): listed in slot order
    v.add_file(root, "abcdefghijklmnopqrstuvwxyz0123", 0);                        // fills the column (31)
    v.add_dir(root, "plain");                                                     // empty dir comment (17)
    v.add_file(root, "0123456789012345678901234567890123456789", 0);              // widens the column (52)
    v.add_file(root, std::string("ab\0cd", 5), 0);                                // NUL ends the name (7)
    v.add_file(root, "exact", 0, {.comment = "hello"});                           // NUL right after it (42)
    v.add_file(root, "wide", 0, {.comment = std::string("abc\0\0\0\0\0\0\0", 10)}); // shorter than its width (9)
    std::uint32_t narrow = v.add_dir(root, "narrow", {.comment = "hello"});       // longer than its width (59)
    v.add_softlink(root, "link", "x", {.comment = "x"});                          // (50)
    v.finish();
    v.put8(narrow, tv::off::comment_length(512), 3);
    v.reseal_header(narrow);

    e2e::Run run = e2e::vistrel({"-n", "-v", write_image(v, "names.adf")});
    EXPECT_EQ(run.out,
              "root block found at 880\n"
              "detected a fast amiga filesystem\n"
              "       885 ab                                      0 Tue Nov 14 22:13:20 2023 \n"
              "       887 wide                                    0 Tue Nov 14 22:13:20 2023        abc\n"
              "       883 plain                               <DIR> Tue Nov 14 22:13:20 2023  \n"
              "       882 abcdefghijklmnopqrstuvwxyz0123          0 Tue Nov 14 22:13:20 2023 \n"
              "       886 exact                                   0 Tue Nov 14 22:13:20 2023 hello\n"
              "       889 link                           <SOFTLINK> Tue Nov 14 22:13:20 2023  x\n"
              "       884 0123456789012345678901234567890123456789          0 Tue Nov 14 22:13:20 2023 \n"
              "       888 narrow                              <DIR> Tue Nov 14 22:13:20 2023  hello\n");
    EXPECT_EQ(run.status, 0);
}

// name_length and comment_length 255 on a header whose last 183 bytes hold no
// NUL: the name runs to the block end (79 bytes) and the comment too (183
// bytes, right-aligned in 255 columns), never further, at every block size.
TEST(Listing, NameAndCommentCutAtTheBlockEnd)
{
    // from byte B - 183 (the comment) to the block end
    const std::string name = std::string(63, 'n') + std::string(12, 'A') + "\xFF\xFF\xFF\xFD";
    const std::string tail = std::string(91, 'c') + std::string(12, 'A') + "\xFF" + name;
    const std::string expected =
        "root block found at 880\n"
        "detected a fast amiga filesystem\n"
        // its parent (0x41414141) is not the root
        "vistrel: dir entry 900 has wrong parent (1094795585, 880)\n"
        "       900 " + name + "          0 Wed Oct 11 00:56:03 2090 " + std::string(255 - 183, ' ').append(tail) + "\n"
        // its extension and its next_hash (0x41414141) lie past the volume's end
        "vistrel: unable to read block 1094795585 (block is out of range)\n"
        "vistrel: unable to read block 1094795585 (block is out of range)\n";
    ASSERT_EQ(tail.size(), 183u);
    for (std::uint32_t block_size : {512u, 1024u, 2048u, 4096u}) {
        SCOPED_TRACE(testing::Message() << "block size " << block_size);
        tv::Volume v(setup(block_size));
        tv::Opts o;
        o.block = 900;
        v.add_file(v.root(), "f", 0, o);
        v.finish();
        v.put8(900, tv::off::comment_length(block_size), 255);
        v.put_bytes(900, tv::off::comment(block_size), tail);
        v.reseal_header(900);
        e2e::Run run = e2e::vistrel({"-n", "-v", write_image(v, "cut.adf")});
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.status, 0);
    }
}

// Data block counts at the edges of a header and of an extension block, for
// 512-byte blocks of both formats (488 payload bytes per OFS data block).
TEST(Trace, DataBlockCounts)
{
    struct Row {
        std::uint32_t dos_type, byte_size, data, ext;
        const char *line;
    };
    const Row rows[] = {
        {tv::kDos1, 0, 0, 0, "       882 f                                       0 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 1, 1, 0, "       882 f                                       1 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 512, 1, 0, "       882 f                                     512 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 513, 2, 0, "       882 f                                     513 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 36864, 72, 0, "       882 f                                   36864 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 36865, 73, 1, "       882 f                                   36865 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 51200, 100, 1, "       882 f                                   51200 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos1, 73729, 145, 2, "       882 f                                   73729 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 0, 0, 0, "       882 f                                       0 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 488, 1, 0, "       882 f                                     488 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 489, 2, 0, "       882 f                                     489 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 1000, 3, 0, "       882 f                                    1000 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 35136, 72, 0, "       882 f                                   35136 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 35137, 73, 1, "       882 f                                   35137 Tue Nov 14 22:13:20 2023 \n"},
        {tv::kDos0, 48800, 100, 1, "       882 f                                   48800 Tue Nov 14 22:13:20 2023 \n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "DOS type " << row.dos_type << ", " << row.byte_size << " bytes");
        tv::Volume v(setup(512, row.dos_type));
        std::uint32_t f = v.add_file(v.root(), "f", row.byte_size);
        ASSERT_EQ(v.data_blocks(f).size(), row.data);
        ASSERT_EQ(v.ext_blocks(f).size(), row.ext);
        e2e::Run run = e2e::vistrel({"-n", "-vv", write_image(v, "count.adf")});
        std::string detected = tv::dos_is_ofs(row.dos_type) ? "detected a old amiga filesystem\n"
                                                            : "detected a fast amiga filesystem\n";
        std::string expected = "root block found at 880\n" + detected + "read bitmap 0 : 881\n" + row.line;
        expected += file_trace(v, f);
        EXPECT_EQ(run.out, expected + "bitmap check: \n");
        EXPECT_EQ(run.status, 0);
    }
}

// The trace of a file with one extension block, written out whole.
TEST(Trace, ExtensionBlockStartsItsOwnLine)
{
    tv::Volume v;
    std::uint32_t f = v.add_file(v.root(), "f", 36865);
    ASSERT_EQ(v.ext_blocks(f), std::vector<std::uint32_t>{955});
    std::string header_blocks;
    for (std::uint32_t b = 883; b <= 954; ++b)
        header_blocks += " [", header_blocks += std::to_string(b), header_blocks += "]";
    e2e::Run run = e2e::vistrel({"-n", "-vv", write_image(v, "ext.adf")});
    EXPECT_EQ(run.out, "root block found at 880\n"
                       "detected a fast amiga filesystem\n"
                       "read bitmap 0 : 881\n"
                       "       882 f                                   36865 Tue Nov 14 22:13:20 2023 \n" +
                           header_blocks + "\n [ext:955] [956]\nbitmap check: \n");
}

}  // namespace
