// Unit tests of the bitmap comparison and of loading the on-disk bitmap, on
// small maps held by the one session.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e.h"
#include "volbuilder.h"
#include "internal.h"

namespace {

// Map bit k stands for block reserved + k; it lies in byte (k >> 3) ^ 3 at
// bit k & 7.  In memory a set bit means in use, the inverse of the bitmap
// blocks on the volume.  Only the bits that no block reaches (past the
// volume's end) and the maps handed to the comparison are set by hand; the
// blocks of a loaded map are asked of the library (block_is_used).
void set_used(std::uint8_t *map, std::uint64_t k, bool used)
{
    std::uint8_t &byte = map[(k >> 3) ^ 3];
    std::uint8_t mask = std::uint8_t(1u << (k & 7));
    byte = used ? std::uint8_t(byte | mask) : std::uint8_t(byte & ~mask);
}

bool is_used(const std::uint8_t *map, std::uint64_t k) { return (map[(k >> 3) ^ 3] & (1u << (k & 7))) != 0; }

// the map bytes that a bitmap block's bytes stand for
std::vector<std::uint8_t> inverted(const std::uint8_t *bytes, std::size_t count)
{
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = std::uint8_t(~bytes[i]);
    return out;
}

void new_session(std::uint32_t block_size, std::uint32_t total, std::uint32_t reserved, int verbosity)
{
    std::memset(&volume, 0, sizeof volume);  // the maps of an earlier test are left to exit
    reset_report();
    volume.block_size = block_size;
    volume.block_shift = __builtin_ctz(block_size);
    volume.total_blocks = total;
    volume.reserved_blocks = reserved;
    volume.verbosity = verbosity;
}


std::string captured(const std::function<void()> &call)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(CompareBitmaps, Differences)
{
    struct Row {
        const char *name;
        std::uint32_t total, reserved;
        int verbosity;
        std::vector<std::uint64_t> work_used, disk_used;  // map bits in use in one map only
        const char *out;
        std::uint32_t count;
    };
    const Row rows[] = {
        {"none", 1760, 2, 2, {}, {}, "bitmap check: \n", 0},
        {"both forms", 1760, 2, 2, {1000 - 2}, {881 - 2}, "bitmap check: {881} <1000> \n", 2},
        {"ascending", 1760, 2, 2, {1757, 0, 38, 31, 4}, {1756, 1, 37, 5}, "bitmap check: <2> {3} <6> {7} <33> {39} <40> {1758} <1759> \n", 9},
        {"verbosity 1", 1760, 2, 1, {1000 - 2}, {881 - 2}, "", 2},
        {"verbosity 0", 1760, 2, 0, {1000 - 2}, {881 - 2}, "", 2},
        // 1758 blocks: the last map byte holds 6 of them; its other 2 bits and
        // the bytes behind it are ignored
        {"partial last byte", 1760, 2, 2, {1757, 1758, 1759, 1760, 2000}, {1752}, "bitmap check: {1754} <1759> \n", 2},
        {"partial last byte, verbosity 0", 1760, 2, 0, {1757, 1758, 1759, 1760, 2000}, {1752}, "", 2},
        {"partial last byte, 1 bit", 20, 3, 2, {16, 17, 23}, {15}, "bitmap check: {18} <19> \n", 2},
        // 1760 blocks: all 8 bits of the last byte count, the next byte not
        {"whole last byte", 1762, 2, 2, {1752, 1759, 1760}, {1753}, "bitmap check: <1754> {1755} <1761> \n", 3},
        {"above 2^31", 0x80000010u, 0x80000000u, 2, {15}, {0}, "bitmap check: {-2147483648} <-2147483633> \n", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        new_session(512, row.total, row.reserved, row.verbosity);
        std::size_t size = std::size_t(bitmap_block_count()) * 512;
        std::vector<std::uint8_t> work(size, 0), disk(size, 0);
        for (std::uint64_t k : row.work_used)
            set_used(work.data(), k, true);
        for (std::uint64_t k : row.disk_used)
            set_used(disk.data(), k, true);
        volume.work_map = work.data();
        volume.disk_map = disk.data();
        std::uint32_t count = 0;
        EXPECT_EQ(captured([&] { count = compare_bitmaps(); }), row.out);
        EXPECT_EQ(count, row.count);
        volume.work_map = volume.disk_map = nullptr;
    }
}

// A volume image built by the test builder, opened as the checker opens it,
// with the root block read into the session.
class LoadBitmap : public testing::Test {
protected:
    void open_image(tv::Volume &v, int verbosity)
    {
        path_ = e2e::temp_path("load.adf");
        v.write(path_);
        new_session(v.block_size(), v.total_blocks(), v.reserved_blocks(), verbosity);
        volume.root_block = v.root();
        volume.fd = open(path_.c_str(), O_RDONLY);
        ASSERT_GE(volume.fd, 0);
        ASSERT_EQ(read_block(volume.root_buffer, v.root()), 0);
    }
    void TearDown() override
    {
        if (volume.fd > 0)
            close(volume.fd);
        volume.fd = -1;
    }
    int load(std::string &out)
    {
        int result = -1;
        out = captured([&] { result = load_bitmap(); });
        return result;
    }
    std::string path_;
};

TEST_F(LoadBitmap, OneBitmapBlock)
{
    tv::Volume v;
    v.add_file(v.root(), "f", 1000);  // blocks 882 .. 884
    v.finish();
    open_image(v, 2);
    std::string out;
    ASSERT_EQ(load(out), 0);
    EXPECT_EQ(out, "read bitmap 0 : 881\n");
    EXPECT_EQ(int(tallies().of(Effect::BitmapError)), 0);
    // the disk map is the bit area of block 881; the 4 spare bytes stay free
    std::vector<std::uint8_t> block = e2e::read_range(path_, 881 * 512, 512);
    EXPECT_EQ(std::vector<std::uint8_t>(volume.disk_map, volume.disk_map + 508), inverted(block.data() + 4, 508));
    EXPECT_EQ(std::vector<std::uint8_t>(volume.disk_map + 508, volume.disk_map + 512),
              std::vector<std::uint8_t>(4, 0));
    // the work map starts with the root and the bitmap block in use, and
    // every bit past the volume's end free
    for (std::uint32_t b : {880u, 881u})
        EXPECT_EQ(block_is_used(b), 1) << b;
    for (std::uint32_t b : {2u, 879u, 882u, 884u, 1759u})
        EXPECT_EQ(block_is_used(b), 0) << b;
    for (std::uint64_t k = 1758; k < 512 * 8; ++k)
        ASSERT_FALSE(is_used(volume.work_map, k)) << k;
    // the tree's blocks are what the comparison finds unmarked
    EXPECT_EQ(captured([] { compare_bitmaps(); }), "bitmap check: {882} {883} {884} \n");
}

TEST_F(LoadBitmap, BadBitmapBlocks)
{
    struct Row {
        const char *name;
        std::function<void(tv::Volume &)> damage;
        const char *out;
    };
    const Row rows[] = {
        {"wrong checksum", [](tv::Volume &v) { v.put32(881, 100, 0); }, "vistrel: bitmap block 881 has invalid checksum\n"},
        {"pointer 0",
         [](tv::Volume &v) {
             v.put32(880, tv::off::bitmap_pages(512), 0);
             v.reseal_header(880);
         },
         "vistrel: unable to read block 0 (block is reserved)\nvistrel: bitmap block 0 is unreadable\n"},
        {"pointer past the end",
         [](tv::Volume &v) {
             v.put32(880, tv::off::bitmap_pages(512), 1760);
             v.reseal_header(880);
         },
         "vistrel: unable to read block 1760 (block is out of range)\nvistrel: bitmap block 1760 is unreadable\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        tv::Volume v;
        v.add_file(v.root(), "f", 1);
        v.finish();
        row.damage(v);
        open_image(v, 2);
        std::string out;
        ASSERT_EQ(load(out), 0);
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(int(tallies().of(Effect::BitmapError)), 1);
        EXPECT_EQ(std::vector<std::uint8_t>(volume.disk_map, volume.disk_map + 512),
                  std::vector<std::uint8_t>(512, 0));
        EXPECT_EQ(block_is_used(881), 0);
        EXPECT_EQ(captured([] { compare_bitmaps(); }), "bitmap check: <880> \n");
        TearDown();
    }
}

// The bits of the last bitmap block past the volume's end are taken as they
// are on the volume, and never compared.
TEST_F(LoadBitmap, BitsPastTheEndOnDisk)
{
    tv::Volume v;
    v.finish();
    v.put32(881, 4 + 4 * 54, 0x3FFFFFFF);  // blocks 1760, 1761 in use
    v.put32(881, 4 + 4 * 55, 0);
    v.reseal_bitmap(881);
    open_image(v, 2);
    std::string out;
    ASSERT_EQ(load(out), 0);
    EXPECT_EQ(int(tallies().of(Effect::BitmapError)), 0);
    EXPECT_TRUE(is_used(volume.disk_map, 1758));
    EXPECT_TRUE(is_used(volume.disk_map, 55 * 32));
    EXPECT_EQ(captured([] { compare_bitmaps(); }), "bitmap check: \n");
}

// 26 bitmap blocks (101601 blocks beyond the reserved ones): the root's 25
// and one in an extension block.
TEST_F(LoadBitmap, ExtensionBlock)
{
    tv::VolumeSetup setup;
    setup.total_blocks = 101603;
    tv::Volume v(setup);
    v.mark_used(101602);  // the one block that bitmap block 25 covers
    v.finish();
    ASSERT_EQ(v.bitmap_ext_blocks(), std::vector<std::uint32_t>{50828});
    open_image(v, 2);
    std::string out;
    ASSERT_EQ(load(out), 0);
    EXPECT_EQ(out, e2e::root_bitmap_reads(50803) + "read ext bitmap: 50828\nread bitmap 0: 50829\n");
    EXPECT_EQ(int(tallies().of(Effect::BitmapError)), 0);
    for (std::uint32_t b = 50802; b <= 50829; ++b)
        ASSERT_TRUE(is_used(volume.work_map, b - 2)) << b;
    EXPECT_TRUE(is_used(volume.disk_map, 101600));
    EXPECT_EQ(captured([] { compare_bitmaps(); }), "bitmap check: {101602} \n");
}

TEST_F(LoadBitmap, ExtensionChainProblems)
{
    struct Row {
        const char *name;
        std::function<void(tv::Volume &)> damage;
        int result, errors;
        const char *messages;  // after the 25 lines of the root's bitmap blocks
        bool last_loaded;      // bitmap block 25 taken into the disk map
    };
    const Row rows[] = {
        {"no extension block in the root",
         [](tv::Volume &v) {
             v.put32(50802, tv::off::bitmap_ext(512), 0);
             v.reseal_header(50802);
         },
         0, 1, "vistrel: bitmap blocks missing\n", false},
        {"unreadable extension block",
         [](tv::Volume &v) {
             v.put32(50802, tv::off::bitmap_ext(512), 200000);
             v.reseal_header(50802);
         },
         0, 1, "vistrel: unable to read block 200000 (block is out of range)\n", false},
        {"extension chain loops", [](tv::Volume &v) { v.put32(50828, 4, 50828); }, 0, 1,
         "read ext bitmap: 50828\nread bitmap 0: 50829\n"
         "vistrel: block 50828 already allocated\n"
         "vistrel: bitmap extension chain loops at block 50828\n",
         true},
        {"bad bitmap block in the extension", [](tv::Volume &v) { v.put32(50829, 8, 1); }, 0, 1,
         "read ext bitmap: 50828\nvistrel: bitmap block 50829 has invalid checksum\n", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        tv::VolumeSetup setup;
        setup.total_blocks = 101603;
        tv::Volume v(setup);
        v.mark_used(101602);
        v.finish();
        row.damage(v);
        open_image(v, 2);
        std::string out;
        ASSERT_EQ(load(out), row.result);
        EXPECT_EQ(out, e2e::root_bitmap_reads(50803) + row.messages);
        EXPECT_EQ(int(tallies().of(Effect::BitmapError)), row.errors);
        EXPECT_EQ(is_used(volume.disk_map, 101600), row.last_loaded);
        TearDown();
    }
}

}  // namespace
