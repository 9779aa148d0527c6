// Hostile and huge volumes, end to end: the largest volume that 32-bit block
// numbers allow, images past 2 TiB, the smallest geometries, trees of great
// depth and length, chains that loop or leave the volume, every unknown entry
// type, and names and comments as long as their length bytes allow.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"

namespace {

const std::string fast = "detected a fast amiga filesystem\n";

std::string write_image(tv::Volume &v, const std::string &name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}


// A sparse copy of an image.
std::string copy_of(const std::string &path, const std::string &name)
{
    std::string copy = e2e::sparse_image(name, 0);
    int fd = open(copy.c_str(), O_WRONLY);
    struct stat status;
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(ftruncate(fd, status.st_size), 0);
    for (const auto &[at, bytes] : e2e::sparse_data(path))
        EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), ssize_t(bytes.size()));
    close(fd);
    return copy;
}

// true when the file holds no byte but zeros (holes included)
bool all_zero(const std::string &path)
{
    for (const auto &stretch : e2e::sparse_data(path))
        for (std::uint8_t byte : stretch.second)
            if (byte != 0)
                return false;
    return true;
}

std::size_t count_lines(const std::string &text)
{
    std::size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

std::string last_line(const std::string &text)
{
    std::string body = text.substr(0, text.size() - (!text.empty() && text.back() == '\n'));
    std::size_t start = body.rfind('\n');
    return body.substr(start == std::string::npos ? 0 : start + 1) + "\n";
}

// ---------------------------------------------------------------------------
// The largest volume: 2^32 - 1 blocks of 4096 bytes, 16 TiB less 4 KiB.  Each
// program holds maps of about half a GiB each; two runs in all.

TEST(Extremes, LargestVolumeIsFormattedAndChecked)
{
    const std::uint64_t blocks = 0xFFFFFFFFull;
    std::string image = e2e::sparse_image("largest.img", blocks * 4096);
    e2e::Run made = e2e::plandor({"-s", "4096", image, "Largest"});
    ASSERT_EQ(made.status, 0) << made.out;
    // the report prints its numbers with %d: 2^32 - 1 blocks and root block
    // 2^31 show as negative numbers there
    EXPECT_EQ(made.out, "blocks: -1\nblocksize: 4096\nreserved blocks: 2\nrootblock: -2147483648\n");
    const std::uint64_t root = 0x80000000ull;
    EXPECT_EQ(e2e::read_be32(image, root * 4096 + 4096 - 4), 1u);  // a root block ...
    EXPECT_EQ(e2e::read_be32(image, root * 4096 + 12), 968u);       // ... of 4096 bytes
    // 131201 bitmap blocks: 25 in the root, the rest behind 129 extension blocks
    EXPECT_EQ(e2e::read_be32(image, root * 4096 + 4096 - 96), root + 26);
    EXPECT_EQ(e2e::read_be32(image, 0), 0x444F5301u);

    e2e::Run checked = e2e::vistrel({"-n", image});
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.out, fast);
}

// An image past 2 TiB has more than 2^32 sectors: the checker sizes it and
// searches its middle in 64-bit sector numbers.
TEST(Extremes, ImagePastTwoTebibytesIsSearchedBySector)
{
    const std::uint64_t bytes = (std::uint64_t(1) << 41) + 65536;  // 2^32 + 128 sectors
    std::string image = e2e::sparse_image("past2t.img", bytes);
    e2e::Run made = e2e::plandor({"-s", "2048", image, "Big"});
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_EQ(made.out, "blocks: 1073741856\nblocksize: 2048\nreserved blocks: 2\nrootblock: 536870928\n");

    e2e::Run found = e2e::vistrel({"-n", "-v", image});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.out, "root block found at 536870928\n" + fast);
    // told where it is, in blocks of the forced size
    e2e::Run told = e2e::vistrel({"-n", "-v", "-s", "2048", "-b", "536870928", image});
    EXPECT_EQ(told.out, found.out);
}

// Devices with more blocks than a volume can number are refused before
// anything is written, naming the block size that would do.  (No image file
// is too large for 4096-byte blocks: the largest file is 16 TiB less 4 KiB.)
TEST(Extremes, TooManyBlocksAreRefused)
{
    struct Case {
        std::uint64_t bytes;
        const char *size;
        std::string out;
    } cases[] = {
        {(std::uint64_t(1) << 41) + 512, "512",
         "plandor: device has 4294967297 blocks of 512 bytes, more than a volume can hold; use a block size of "
         "1024 bytes or more\n"},
        {(std::uint64_t(1) << 42) + 1024, "1024",
         "plandor: device has 4294967297 blocks of 1024 bytes, more than a volume can hold; use a block size of "
         "2048 bytes or more\n"},
        {(std::uint64_t(1) << 43) + 2048, "2048",
         "plandor: device has 4294967297 blocks of 2048 bytes, more than a volume can hold; use a block size of "
         "4096 bytes or more\n"},
        {(std::uint64_t(1) << 43) + 2048, "512",
         "plandor: device has 17179869188 blocks of 512 bytes, more than a volume can hold; use a block size of "
         "4096 bytes or more\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        std::string image = e2e::sparse_image("toomany.img", c.bytes);
        e2e::Run run = e2e::plandor({"-s", c.size, image, "X"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, c.out);
        EXPECT_TRUE(all_zero(image));
    }
}

// ---------------------------------------------------------------------------
// The smallest volumes: for every block size and a few reserved counts, the
// smallest that can be formatted is formatted (and checks clean when the
// checker can be told its reserved count), one block less is refused with
// nothing written.

TEST(Extremes, SmallestVolumes)
{
    struct Case {
        std::uint32_t reserved, smallest;
        std::string refused;  // the message for smallest - 1 blocks
    } cases[] = {
        {2, 4, "plandor: volume of 3 blocks is too small for its root block and 1 bitmap blocks\n"},
        {1, 3, "plandor: volume of 2 blocks is too small for its root block and 1 bitmap blocks\n"},
        {0, 3, "plandor: volume of 2 blocks has no room for a root block after block 0\n"},
        {10, 12, "plandor: volume of 11 blocks is too small for its root block and 1 bitmap blocks\n"},
    };
    for (std::uint32_t B : {512u, 1024u, 2048u, 4096u}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(B) + " bytes, " + std::to_string(c.reserved) + " reserved");
            const std::string size = std::to_string(B), reserved = std::to_string(c.reserved);
            std::string small = e2e::sparse_image("small.img", std::uint64_t(c.smallest) * B);
            e2e::Run made = e2e::plandor({"-s", size, "-r", reserved, small, "S"});
            EXPECT_EQ(made.status, 0) << made.out;
            std::uint32_t root = (c.smallest + c.reserved - 1) / 2;
            EXPECT_EQ(made.out, "blocks: " + std::to_string(c.smallest) + "\nblocksize: " + size +
                                    "\nreserved blocks: " + reserved + "\nrootblock: " + std::to_string(root) + "\n");
            if (c.reserved > 0) {
                e2e::Run checked =
                    e2e::vistrel({"-n", "-s", size, "-r", reserved, "-b", std::to_string(root), small});
                EXPECT_EQ(checked.status, 0);
                EXPECT_EQ(checked.out, fast);
            }

            std::string smaller = e2e::sparse_image("smaller.img", std::uint64_t(c.smallest - 1) * B + B - 1);
            e2e::Run refused = e2e::plandor({"-s", size, "-r", reserved, smaller, "S"});
            EXPECT_EQ(refused.status, 1);
            EXPECT_EQ(refused.out, c.refused);
            EXPECT_TRUE(all_zero(smaller));
        }
    }
}

// A root block given as the last block, with no reserved blocks: the bitmap
// block is taken from below the root, but never block 0, which holds the DOS
// type (and 0 is no block number that the allocator may hand out).
TEST(Extremes, BitmapBlockIsNeverBlockZero)
{
    for (std::uint32_t B : {512u, 4096u}) {
        SCOPED_TRACE(B);
        std::string image = e2e::sparse_image("last-root.img", 1760ull * B);
        e2e::Run made = e2e::plandor({"-s", std::to_string(B), "-r", "0", "-b", "1759", image, "L"});
        ASSERT_EQ(made.status, 0) << made.out;
        std::uint64_t root = 1759ull * B;
        std::uint32_t bitmap = e2e::read_be32(image, root + B - 196);
        EXPECT_EQ(bitmap, 1u);
        EXPECT_EQ(e2e::read_be32(image, 0), 0x444F5301u);
        // the bitmap block sums to 0: nothing else was written over it
        std::vector<std::uint8_t> block = e2e::read_range(image, std::uint64_t(bitmap) * B, B);
        EXPECT_EQ(tv::block_sum(block.data(), B), 0u);

        // two blocks, the root given as block 1: block 0 is no room for the
        // bitmap block, so the geometry is refused
        std::string two = e2e::sparse_image("two.img", 2ull * B);
        e2e::Run refused = e2e::plandor({"-s", std::to_string(B), "-r", "0", "-b", "1", two, "T"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.out, "plandor: volume of 2 blocks is too small for its root block and 1 bitmap blocks\n");
        EXPECT_TRUE(all_zero(two));
    }
}

// ---------------------------------------------------------------------------
// Depth and length: 100,000 directories, each inside the one before, and a
// hash chain of 100,000 entries.  The walk keeps one block per level on the
// heap, never the process stack, and lists every entry to the last.

TEST(Extremes, HundredThousandLevelsDeep)
{
    const int depth = 100000;
    tv::Volume v(tv::VolumeSetup{.total_blocks = 101000});
    std::uint32_t dir = v.root();
    for (int i = 0; i < depth; ++i)
        dir = v.add_dir(dir, "d");
    std::uint32_t bottom = v.add_file(dir, "bottom", 0);
    std::string image = write_image(v, "deep.img");

    e2e::Run run = e2e::vistrel({"-n", "-v", image});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("vistrel:"), std::string::npos) << run.out.substr(0, 2000);
    // the root line, the detection line, one line per directory, the file
    EXPECT_EQ(count_lines(run.out), std::size_t(2 + depth + 1));
    char line[128];
    std::snprintf(line, sizeof line, "%10u %-30s %10u %s\n", bottom, "bottom", 0u, "Tue Nov 14 22:13:20 2023 ");
    EXPECT_EQ(last_line(run.out), line);
}


TEST(Extremes, HashChainOfHundredThousandEntries)
{
    const int length = 100000;
    tv::Volume v(tv::VolumeSetup{.total_blocks = 101000});
    std::uint32_t last = 0;
    // names that all hash to slot 7, so that the chain is a sound one
    std::string name;
    for (int i = 0, n = 0; i < length; ++n) {
        name = e2e::numbered("f", n);
        if (v.hash_slot(name) == 7) {
            last = v.add_file(v.root(), name, 0);
            ++i;
        }
    }
    std::string image = write_image(v, "chain.img");

    e2e::Run run = e2e::vistrel({"-n", "-v", image});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("vistrel:"), std::string::npos) << run.out.substr(0, 2000);
    EXPECT_EQ(count_lines(run.out), std::size_t(2 + length));
    char line[128];
    std::snprintf(line, sizeof line, "%10u %-30s %10u %s\n", last, name.c_str(), 0u,
                  "Tue Nov 14 22:13:20 2023 ");
    EXPECT_EQ(last_line(run.out), line);
}

// ---------------------------------------------------------------------------
// A file extension chain that loops back: the walk stops at the block met
// again, names it, and the rest of the check goes on.

TEST(Extremes, FileExtensionChainLoopsBack)
{
    struct Case {
        const char *name;
        int target;  // the chain's last block leads back to: -1 the header, else ext block k
    } cases[] = {{"to itself", 2}, {"to the first extension block", 0}, {"to the header", -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tv::Volume v;
        const std::uint32_t slots = v.table_size();
        std::uint32_t file = v.add_file(v.root(), "f", v.payload() * (3 * slots + 10));
        v.add_file(v.root(), "after", 1);
        const std::vector<std::uint32_t> ext = v.ext_blocks(file);
        ASSERT_EQ(ext.size(), 3u);
        std::uint32_t back = c.target < 0 ? file : ext[std::size_t(c.target)];
        v.put32(ext[2], tv::off::extension(512), back);
        v.reseal_header(ext[2]);
        std::string image = write_image(v, "extloop.img");

        e2e::Run run = e2e::vistrel({"-n", image});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, fast + "vistrel: extended block " + std::to_string(back) + " already visited\n");
        // the file "after" was still walked: every block agrees with the bitmap
        e2e::Run traced = e2e::vistrel({"-n", "-v", "-v", image});
        EXPECT_NE(traced.out.find("bitmap check: \n"), std::string::npos) << traced.out;
    }
}

// ---------------------------------------------------------------------------
// Bitmap extension chains that loop or leave the volume, and bitmap pointers
// of 0 and past the end.  One volume of 28 bitmap blocks (25 in the root,
// three behind one extension block) and one of 153 (two extension blocks).

struct BitmapCase {
    const char *name;
    bool two_ext;
    std::function<void(tv::Volume &)> damage;
    std::function<std::string(tv::Volume &)> out;  // the report at verbosity 0
    int status;                                    // of that run
    int write_status;                              // of -w on a copy
};

TEST(Extremes, BitmapChainsAndPointers)
{
    auto ext0 = [](tv::Volume &v) { return v.bitmap_ext_blocks().at(0); };
    auto n = [](std::uint32_t b) { return std::to_string(b); };
    const std::string refused = "vistrel: error in bitmap (";
    const BitmapCase cases[] = {
        {"extension block leads to itself", false, [&](tv::Volume &v) { v.put32(ext0(v), 12, ext0(v)); },
         [&](tv::Volume &v) {
             return fast + "vistrel: block " + n(ext0(v)) + " already allocated\nvistrel: bitmap extension chain loops at block " +
                    n(ext0(v)) + "\n";
         },
         0, 1},
        {"extension block leads to a bitmap block", false,
         [&](tv::Volume &v) { v.put32(ext0(v), 12, v.bitmap_blocks()[3]); },
         [&](tv::Volume &v) {
             std::string b = n(v.bitmap_blocks()[3]);
             return fast + "vistrel: block " + b + " already allocated\nvistrel: bitmap extension chain loops at block " + b +
                    "\n";
         },
         0, 1},
        {"extension block leads to the root block", false, [&](tv::Volume &v) { v.put32(ext0(v), 12, v.root()); },
         [&](tv::Volume &v) {
             return fast + "vistrel: block " + n(v.root()) + " already allocated\nvistrel: bitmap extension chain loops at block " +
                    n(v.root()) + "\n";
         },
         0, 1},
        {"second extension block leads back to the first", true,
         [&](tv::Volume &v) { v.put32(v.bitmap_ext_blocks().at(1), 4, ext0(v)); },
         [&](tv::Volume &v) {
             return fast + "vistrel: block " + n(ext0(v)) + " already allocated\nvistrel: bitmap extension chain loops at block " +
                    n(ext0(v)) + "\n";
         },
         0, 1},
        {"extension block leads out of the volume", false, [&](tv::Volume &v) { v.put32(ext0(v), 12, 0xFFFFFF00u); },
         [&](tv::Volume &) { return fast + "vistrel: unable to read block -256 (block is out of range)\n"; }, 0, 1},
        {"root's extension pointer out of the volume", false,
         [&](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_ext(512), 200000);
             v.reseal_header(v.root());
         },
         [&](tv::Volume &) { return fast + "vistrel: unable to read block 200000 (block is out of range)\n"; }, 0, 1},
        {"root's extension pointer of 0", false,
         [&](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_ext(512), 0);
             v.reseal_header(v.root());
         },
         [&](tv::Volume &) { return fast + "vistrel: bitmap blocks missing\n"; }, 0, 1},
        {"full extension block with no next one", true, [&](tv::Volume &v) { v.put32(ext0(v), 508, 0); },
         [&](tv::Volume &) { return fast + "vistrel: bitmap blocks missing\n"; }, 1, 1},
        {"bitmap pointer 0 in the root", false,
         [&](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_pages(512) + 8, 0);
             v.reseal_header(v.root());
         },
         [&](tv::Volume &) {
             return fast + "vistrel: unable to read block 0 (block is reserved)\nvistrel: bitmap block 0 is unreadable\n";
         },
         0, 1},
        {"bitmap pointer past the end in the root", false,
         [&](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_pages(512), 0xFFFFFFFFu);
             v.reseal_header(v.root());
         },
         [&](tv::Volume &) {
             return fast + "vistrel: unable to read block -1 (block is out of range)\n"
                           "vistrel: bitmap block 4294967295 is unreadable\n";
         },
         0, 1},
        {"bitmap pointers 0 and past the end in an extension block", false,
         [&](tv::Volume &v) {
             v.put32(ext0(v), 0, 0);
             v.put32(ext0(v), 8, 0xFFFFFFFFu);
         },
         [&](tv::Volume &) {
             return fast + "vistrel: unable to read block 0 (block is reserved)\n"
                           "vistrel: bitmap block 0 is unreadable\n"
                           "vistrel: unable to read block -1 (block is out of range)\n"
                           "vistrel: bitmap block 4294967295 is unreadable\n";
         },
         0, 1},
    };
    for (const BitmapCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t bits = 4064;
        const std::uint32_t count = c.two_ext ? 25 + 127 + 1 : 28;
        tv::Volume v(tv::VolumeSetup{.total_blocks = 2 + (count - 1) * bits + 100});
        v.add_file(v.root(), "f", 5000);
        v.finish();
        c.damage(v);
        std::string image = write_image(v, "bitmap.img");

        e2e::Run run = e2e::vistrel({"-n", image});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out(v));

        e2e::Run written = e2e::vistrel({"-w", copy_of(image, "bitmap-w.img")});
        EXPECT_EQ(written.status, c.write_status) << written.out;
        if (c.write_status == 1 && run.status == 0) {
            EXPECT_NE(written.out.find(refused), std::string::npos) << written.out;
        }
    }
}

// ---------------------------------------------------------------------------
// Every secondary type but the six known ones: the entry is reported and its
// chain not followed; the entry behind it in the chain stays unwalked.

TEST(Extremes, UnknownSecondaryTypes)
{
    const std::int32_t types[] = {0, 5, 6, -1, -2, -5, -6, 100, 0x7FFFFFFF, INT_MIN, INT_MIN + 1};
    for (std::int32_t type : types) {
        SCOPED_TRACE(type);
        tv::Volume v;
        std::uint32_t a = v.add_file(v.root(), "a", 1, tv::Opts{.slot = 0});
        std::uint32_t b = v.add_file(v.root(), "b", 1, tv::Opts{.slot = 0});
        v.put32(a, tv::off::secondary_type(512), std::uint32_t(type));
        v.reseal_header(a);
        std::string image = write_image(v, "sectype.img");

        e2e::Run run = e2e::vistrel({"-n", "-v", "-v", image});
        EXPECT_EQ(run.status, 0);
        // neither a, nor its data block, nor b and its data block are marked
        std::uint32_t a_data = v.data_blocks(a)[0], b_data = v.data_blocks(b)[0];
        EXPECT_EQ(run.out, "root block found at 880\n" + fast + "read bitmap 0 : 881\nvistrel: dir entry " +
                               std::to_string(a) + " has unknown secondary type " + std::to_string(type) +
                               "\nbitmap check: {" + std::to_string(a) + "} {" + std::to_string(a_data) + "} {" +
                               std::to_string(b) + "} {" + std::to_string(b_data) + "} \n");
    }
}

// ---------------------------------------------------------------------------
// name_length and comment_length of 255 at every block size, with no NUL
// byte in the rest of the block: the listing line takes the name and the
// comment up to the block's end and no further (the sanitizer build would
// see a read past the checker's block buffer).

TEST(Extremes, LongestNamesAndComments)
{
    for (std::uint32_t B : {512u, 1024u, 2048u, 4096u}) {
        SCOPED_TRACE(B);
        tv::Volume v(tv::VolumeSetup{.block_size = B, .total_blocks = 2000});
        std::uint32_t target = v.add_file(v.root(), "target", 0);
        std::uint32_t link = v.add_hardlink(v.root(), "link", target, tv::Opts{.slot = 0});
        v.finish();
        // every byte from the comment on is 'x' but the last long (the type
        // of a hard link to a file, 0xFFFFFFFC: no NUL either)
        for (std::uint32_t o = tv::off::comment(B); o < B - 4; ++o)
            v.put8(link, o, 'x');
        v.put8(link, tv::off::comment_length(B), 255);
        v.put8(link, tv::off::name_length(B), 255);
        v.reseal_header(link);
        std::string image = write_image(v, "texts.img");

        e2e::Run run = e2e::vistrel({"-n", "-v", image});
        EXPECT_EQ(run.status, 0);
        const std::string tail = "\xFF\xFF\xFF\xFC";
        const std::string name = std::string(75, 'x') + tail;      // 79 bytes to the end of the block
        // 183 bytes to the end of the block, the name's length byte among them
        const std::string comment = std::string(103, 'x') + "\xFF" + std::string(75, 'x') + tail;
        // the date fields are 'x' too: 0x78787878 days, minutes and ticks,
        // taken modulo 2^32 as the listing takes them
        std::uint32_t x = 0x78787878u;
        std::time_t t = std::time_t(std::uint32_t(x / 50 + x * 86400u + x * 60u + 252460800u));
        char date[32];
        std::tm tm{};
        gmtime_r(&t, &tm);
        std::strftime(date, sizeof date, "%a %b %e %T %Y ", &tm);
        const std::uint32_t next = x;  // next_hash is 'x' as well: out of range, and so is parent
        char key[16];
        std::snprintf(key, sizeof key, "%10u ", link);
        char target_line[128];
        std::snprintf(target_line, sizeof target_line, "%10u %-30s %10u %s\n", target, "target", 0u,
                      "Tue Nov 14 22:13:20 2023 ");
        std::string line = key + name + " <FILELINK> " + date + " " +
                           std::string(255 - comment.size(), ' ') + comment + "\n";
        EXPECT_EQ(run.out, "root block found at " + std::to_string(v.root()) + "\n" + fast + "vistrel: dir entry " +
                               std::to_string(link) + " has wrong parent (" + std::to_string(x) + ", " +
                               std::to_string(v.root()) + ")\n" + line +
                               "vistrel: unable to read block " + std::to_string(int(next)) +
                               " (block is out of range)\n" + target_line);
    }
}

}  // namespace
