// Unit tests of the volume library's foundations: guarded block I/O and its
// messages, the checksum, dates, DOS types, block counts, the map operations
// and the root block search.
#include "e2e.h"
#include "volbuilder.h"
#include "internal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string captured(const std::function<void()> &body)
{
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A clear session on an open descriptor, as each program's main leaves it.
void start_session(int fd, std::uint32_t block_size, std::uint32_t total_blocks, std::uint32_t reserved = 2)
{
    std::memset(&volume, 0, sizeof volume);
    reset_report();
    volume.fd = fd;
    volume.block_size = block_size;
    volume.block_shift = shift_of_block_size(block_size);
    volume.total_blocks = total_blocks;
    volume.reserved_blocks = reserved;
}

std::vector<std::uint8_t> pattern(std::size_t bytes)
{
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        data[i] = std::uint8_t(i * 7 + (i >> 9));
    return data;
}

std::string write_image(const std::string &name, const std::vector<std::uint8_t> &data)
{
    std::string path = e2e::temp_path(name);
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
    return path;
}

TEST(BlockIo, GuardsAndMessages)
{
    // four whole blocks of 512 bytes and 100 bytes of a fifth
    const std::vector<std::uint8_t> image = pattern(4 * 512 + 100);
    std::string path;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    enum Device { Image, ReadOnlyImage, Closed, Pipe };
    struct Case {
        Device device;
        bool write;
        std::uint32_t block;
        int result;
        const char *out;
    } cases[] = {
        // refused blocks never reach the device: with no descriptor at all
        // the guards' own messages come out
        {Closed, false, 0, 1, "vistrel: unable to read block 0 (block is reserved)\n"},
        {Closed, false, 1, 1, "vistrel: unable to read block 1 (block is reserved)\n"},
        {Closed, false, 5, 1, "vistrel: unable to read block 5 (block is out of range)\n"},
        {Closed, false, 2, 1, "vistrel: unable to read block 2 (Bad file descriptor)\n"},
        {Closed, true, 1, 1, "vistrel: unable to write block 1 (block is reserved)\n"},
        {Closed, true, 5, 1, "vistrel: unable to write block 5 (block is out of range)\n"},
        {Image, false, 2, 0, ""},
        {Image, false, 3, 0, ""},
        {Image, false, 4, 1, "vistrel: short read of block 4 (100 of 512)\n"},
        {ReadOnlyImage, true, 3, 1, "vistrel: unable to write block 3 (Bad file descriptor)\n"},
        {Pipe, false, 2, 1, "vistrel: unable to seek to block 2 (Illegal seek)\n"},
        {Pipe, true, 2, 1, "vistrel: unable to seek to block 2 (Illegal seek)\n"},
        {Image, true, 3, 0, ""},  // last: it changes the image
    };
    // each case by pread, then with the image mapped (which only files are)
    for (bool mapped : {false, true}) {
    path = write_image("io.img", image);  // the last case wrote to the one before
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.write ? "write " : "read ") + std::to_string(c.block) + " on device " +
                     std::to_string(c.device) + (mapped ? ", mapped" : ""));
        int fd = c.device == Image ? open(path.c_str(), O_RDWR)
                 : c.device == ReadOnlyImage ? open(path.c_str(), O_RDONLY)
                 : c.device == Pipe ? pipe_fds[1]
                                    : -1;
        start_session(fd, 512, 5);
        if (mapped)
            begin_mapped_reads();
        std::vector<std::uint8_t> buffer(512, 0xA5);
        int result = -1;
        std::string out = captured([&] {
            result = c.write ? write_block(buffer.data(), c.block) : read_block(buffer.data(), c.block);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(out, c.out);
        std::vector<std::uint8_t> expected = image;
        if (c.write && c.result == 0)
            std::fill_n(expected.begin() + c.block * 512, 512, 0xA5);
        if (!c.write && c.result == 0) {
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + c.block * 512));
        }
        EXPECT_EQ(e2e::read_file(path), expected);
        end_mapped_reads();
        if (c.device == Image || c.device == ReadOnlyImage)
            close(fd);
    }
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// Reads from a mapping of the image see what the run writes, and an image cut
// shorter under the run costs the blocks past its new end a short read, as
// by pread, never the process: the fault ends the mapped reads.
TEST(BlockIo, MappedReadsSeeWritesAndSurviveACutImage)
{
    const std::vector<std::uint8_t> image = pattern(8 * 4096);
    const std::string path = write_image("mapped.img", image);
    int fd = open(path.c_str(), O_RDWR);
    start_session(fd, 4096, 8);
    begin_mapped_reads();
    std::vector<std::uint8_t> buffer(4096), written(4096, 0x5A);
    std::string out = captured([&] {
        EXPECT_EQ(read_block(buffer.data(), 3), 0);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + 3 * 4096));
        EXPECT_EQ(write_block(written.data(), 4), 0);
        EXPECT_EQ(read_block(buffer.data(), 4), 0);
        EXPECT_EQ(buffer, written);
        // another process cuts the image to three blocks
        ASSERT_EQ(truncate(path.c_str(), 3 * 4096), 0);
        EXPECT_EQ(read_block(buffer.data(), 6), 1);
        EXPECT_EQ(read_block(buffer.data(), 2), 0);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + 2 * 4096));
        EXPECT_EQ(read_block(buffer.data(), 5), 1);
    });
    EXPECT_EQ(out, "vistrel: short read of block 6 (0 of 4096)\n"
                   "vistrel: short read of block 5 (0 of 4096)\n");
    end_mapped_reads();
    close(fd);
}

TEST(BlockIo, OffsetsBeyond32Bits)
{
    // block 2^23 of 4096 bytes starts at byte 2^35
    const std::uint64_t block = std::uint64_t(1) << 23;
    const std::string path = e2e::sparse_image("far.img", (block + 1) * 4096);
    int fd = open(path.c_str(), O_RDWR);
    start_session(fd, 4096, std::uint32_t(block + 1));
    std::vector<std::uint8_t> data = pattern(4096), back(4096);
    EXPECT_EQ(write_block(data.data(), std::uint32_t(block)), 0);
    EXPECT_EQ(read_block(back.data(), std::uint32_t(block)), 0);
    close(fd);
    EXPECT_EQ(back, data);
    EXPECT_EQ(e2e::read_range(path, block * 4096, 4096), data);
}

TEST(BlockIo, ChecksumAndSealing)
{
    alignas(4) std::uint8_t block[4096 + 4] = {};
    start_session(-1, 512, 0);
    EXPECT_EQ(block_checksum(block), 0u);
    put_long(block, 0, 1);
    put_long(block, 4, 2);
    put_long(block, 8, 0xFFFFFFFD);
    EXPECT_EQ(block_checksum(block), 0u);
    put_long(block, 512, 5);  // outside a block of 512 bytes
    EXPECT_EQ(block_checksum(block), 0u);
    put_long(block, 508, 0x80000000);
    put_long(block, 100, 0x80000001);
    EXPECT_EQ(block_checksum(block), 1u);  // the sum wraps
    seal_block(block, 20);
    EXPECT_EQ(block_checksum(block), 0u);
    EXPECT_EQ(get_long(block, 20), 0xFFFFFFFFu);

    volume.block_size = 4096;
    EXPECT_EQ(block_checksum(block), 5u);
    put_long(block, 4092, 7);
    EXPECT_EQ(block_checksum(block), 12u);
    seal_block(block, 0);
    EXPECT_EQ(block_checksum(block), 0u);
}

// Runs `body` once on every path of the checksum and the zero test that this
// processor can run, then goes back to the best one.
void on_every_kernel_path(const std::function<void(const char *)> &body)
{
    const std::pair<KernelPath, const char *> paths[] = {
        {Avx2Path, "avx2"}, {WordPath, "words"}, {PlainPath, "plain"}};
    int ran = 0;
    for (auto [path, name] : paths) {
        if (!select_kernel_path(path))
            continue;  // not on this processor
        body(name);
        ++ran;
    }
    select_kernel_path(BestPath);
    EXPECT_GE(ran, 1);
}

// The checksum adds many longs at once; every path must agree with the
// plain sum of big-endian longs on any contents, at every block size.
TEST(BlockIo, ChecksumAgreesWithThePlainSum)
{
    alignas(8) std::uint8_t block[4096];
    on_every_kernel_path([&](const char *path) {
        std::uint32_t seed = 12345;
        for (std::uint32_t size : {512u, 1024u, 2048u, 4096u}) {
            start_session(-1, size, 0);
            for (int round = 0; round < 200; ++round) {
                for (std::uint32_t i = 0; i < size; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    // random bytes, and rounds of all-0xFF bytes that carry the most
                    block[i] = round % 4 == 0 ? 0xFF : std::uint8_t(seed >> 16);
                }
                std::uint32_t plain = 0;
                for (std::uint32_t i = 0; i < size; i += 4)
                    plain += tv::get_be32(block + i);
                ASSERT_EQ(block_checksum(block), plain) << path << " " << size << " " << round;
            }
        }
    });
}

// The zero test looks at many bytes at once; one byte that is not 0, at any
// place in any length, must be seen, and nothing past the length.
TEST(BlockIo, ZeroTestSeesEveryByte)
{
    alignas(8) std::uint8_t block[4096 + 1] = {};
    on_every_kernel_path([&](const char *path) {
        for (std::size_t count : {0u, 1u, 4u, 31u, 32u, 100u, 127u, 128u, 129u, 3872u, 4095u, 4096u}) {
            block[count] = 1;  // just past the bytes looked at
            ASSERT_TRUE(all_zero(block, count)) << path << " " << count;
            for (std::size_t at = 0; at < count; ++at) {
                block[at] = 0x80;
                ASSERT_FALSE(all_zero(block, count)) << path << " " << count << " " << at;
                block[at] = 0;
            }
            block[count] = 0;
        }
    });
}

TEST(Messages, VerbosityLevelsAndPrefix)
{
    start_session(-1, 512, 0);
    volume.verbosity = 1;
    EXPECT_EQ(captured([] {
                  log_verbose(2, "two\n");
                  log_verbose(1, "one %d\n", 1);
                  log_verbose(0, "zero ");
                  log_error("failed at %d\n", 7);
              }),
              "one 1\nzero vistrel: failed at 7\n");
}

TEST(Layout, AmigaDatesBothWays)
{
    struct Case {
        std::int64_t unix_time;
        AmigaDate date;
    } cases[] = {
        {-1, {0, 0, 0}},
        {0, {0, 0, 0}},
        {252460800, {0, 0, 0}},  // 1978-01-01 00:00:00 UTC
        {252460801, {0, 0, 50}},
        {252460800 + 86400 + 61, {1, 1, 50}},  // 1978-01-02 00:01:01
        {1704112215, {16801, 750, 750}},       // 2024-01-01 12:30:15
        {1704153599, {16801, 1439, 2950}},     // 2024-01-01 23:59:59
        {4102444800, {44560, 0, 0}},           // 2100-01-01, past signed 32-bit time
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.unix_time);
        AmigaDate d = amiga_date_from_unix(c.unix_time);
        EXPECT_EQ(d.days, c.date.days);
        EXPECT_EQ(d.minutes, c.date.minutes);
        EXPECT_EQ(d.ticks, c.date.ticks);
        if (c.unix_time >= 252460800) {
            EXPECT_EQ(unix_from_amiga_date(c.date), std::uint32_t(c.unix_time));
        }
    }
    // the fields lie 92, 88 and 84 bytes before the end of the block
    start_session(-1, 1024, 0);
    std::uint8_t block[1024] = {};
    put_date(block, field::root_altered, {1, 2, 3});
    const std::uint8_t expected[12] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    EXPECT_EQ(std::memcmp(block + 1024 - 92, expected, 12), 0);
    AmigaDate back = get_date(block, field::root_altered);
    EXPECT_TRUE(back.days == 1 && back.minutes == 2 && back.ticks == 3);
}

TEST(Layout, DosTypesBothWays)
{
    constexpr int O = OldFormat, M = MultiUser, I = International, D = DirCache;
    struct Read {
        std::uint32_t dos_type;
        int flags;
    } reads[] = {
        {0x444F5300, O}, {0x444F5301, 0}, {0x444F5302, O | I}, {0x444F5303, I},
        {0x444F5304, O | D}, {0x444F5305, D}, {0x6D754600, M | O}, {0x6D754601, M},
        {0x6D754602, M | O | I}, {0x6D754603, M | I}, {0x6D754604, M | O | D}, {0x6D754605, M | D},
        {0x6D754653, M | I},  // "muFS"
        {0x444F5306, -1}, {0x6D754606, -1}, {0x646F7301, -1}, {0x444F5353, -1}, {0x6D754653 ^ 0x20, -1},
        {0, -1}, {0xFFFFFFFF, -1},
    };
    for (const Read &r : reads) {
        SCOPED_TRACE(r.dos_type);
        EXPECT_EQ(flags_from_dos_type(r.dos_type), r.flags);
        // every type that names a number writes itself again; "muFS" writes "muF" 3
        if (r.flags >= 0) {
            EXPECT_EQ(dos_type_from_flags(std::uint8_t(r.flags)), r.dos_type == 0x6D754653 ? 0x6D754603 : r.dos_type);
        }
    }
    // written types: International wins over DirCache; option bits are ignored
    const std::uint32_t written[16] = {
        0x444F5301, 0x444F5305, 0x444F5303, 0x444F5303, 0x444F5300, 0x444F5304, 0x444F5302, 0x444F5302,
        0x6D754601, 0x6D754605, 0x6D754603, 0x6D754603, 0x6D754600, 0x6D754604, 0x6D754602, 0x6D754602,
    };
    for (int bits = 0; bits < 16; ++bits) {
        int flags = ((bits & 8) ? M : 0) | ((bits & 4) ? O : 0) | ((bits & 2) ? I : 0) | ((bits & 1) ? D : 0);
        EXPECT_EQ(dos_type_from_flags(std::uint8_t(flags)), written[bits]) << bits;
        EXPECT_EQ(dos_type_from_flags(std::uint8_t(flags | ReadOnly | WriteBitmap)), written[bits]) << bits;
    }
}

TEST(Layout, BlockSizesAndCounts)
{
    const std::int64_t sizes[][2] = {{512, 9}, {1024, 10}, {2048, 11}, {4096, 12}, {0, 0},
                                     {768, 0}, {8192, 0}, {256, 0}, {-512, 0}, {512 + (1LL << 32), 0}};
    for (const auto &s : sizes)
        EXPECT_EQ(shift_of_block_size(s[0]), std::uint32_t(s[1])) << s[0];

    struct Count {
        std::uint32_t block_size, total, reserved, bitmap_blocks, ext_blocks;
    } counts[] = {
        {512, 1760, 2, 1, 0},          {512, 2, 2, 0, 0},
        {512, 1, 2, 0, 0},             {512, 3, 2, 1, 0},
        {512, 4066, 2, 1, 0},          {512, 4067, 2, 2, 0},
        {512, 101602, 2, 25, 0},       {512, 101603, 2, 26, 1},
        {512, 2 + 152 * 4064, 2, 152, 1}, {512, 3 + 152 * 4064, 2, 153, 2},
        {1024, 204002, 2, 25, 0},      {1024, 204003, 2, 26, 1},
        {2048, 408800, 0, 25, 0},      {4096, 818402, 2, 25, 0},
        {4096, 0xFFFFFFFF, 2, 131201, 129}, {512, 0xFFFFFFFF, 0, 1056833, 8322},
    };
    for (const Count &c : counts) {
        SCOPED_TRACE(std::to_string(c.block_size) + "/" + std::to_string(c.total) + "/" + std::to_string(c.reserved));
        start_session(-1, c.block_size, c.total, c.reserved);
        EXPECT_EQ(bitmap_block_count(), c.bitmap_blocks);
        EXPECT_EQ(bitmap_ext_count(c.bitmap_blocks), c.ext_blocks);
    }

    struct Data {
        std::uint32_t payload, byte_size, blocks;
    } data[] = {{488, 0, 0}, {488, 1, 1}, {488, 488, 1}, {488, 489, 2}, {512, 512 * 72, 72}, {4072, 4073, 2}};
    for (const Data &d : data) {
        volume.data_bytes_per_block = d.payload;
        EXPECT_EQ(data_block_count(d.byte_size), d.blocks) << d.payload << " " << d.byte_size;
    }
}

// A fresh map of the 1760-block volume with its root at 880.
void fresh_map()
{
    start_session(-1, 512, 1760);
    volume.root_block = 880;
    volume.volume_name = "";
    init_root_block();
    ASSERT_EQ(create_bitmap(), 0);  // one bitmap block: nothing is written
}

TEST(Bitmap, MarkAllocateAndTest)
{
    fresh_map();
    EXPECT_EQ(volume.alloc_hint, 881u);
    const std::uint32_t used[] = {0, 1, 880, 881, 1760, 0xFFFFFFFF}, free_blocks[] = {2, 879, 882, 1759};
    for (std::uint32_t b : used)
        EXPECT_EQ(block_is_used(b), 1) << b;
    for (std::uint32_t b : free_blocks)
        EXPECT_EQ(block_is_used(b), 0) << b;

    int results[5];
    EXPECT_EQ(captured([&] {
                  results[0] = mark_block_used(882);
                  results[1] = mark_block_used(882);
                  results[2] = mark_block_used(1);
                  results[3] = mark_block_used(1760);
                  results[4] = mark_block_used(1759);
              }),
              "vistrel: block 882 already allocated\n"
              "vistrel: can't allocate block 1 (block is reserved)\n"
              "vistrel: can't allocate block 1760 (block is out of range)\n");
    EXPECT_EQ(std::vector<int>(results, results + 5), (std::vector<int>{0, 1, 1, 1, 0}));
    EXPECT_EQ(block_is_used(882), 1);

    // upward from the last block handed out, then from the reserved blocks up
    // to the root; never past the end, though the last map byte has free bits
    EXPECT_EQ(allocate_block(), 883u);
    EXPECT_EQ(volume.alloc_hint, 883u);
    for (std::uint32_t b = 884; b < 1759; ++b)
        mark_block_used(b);
    EXPECT_EQ(allocate_block(), 2u);
    EXPECT_EQ(volume.alloc_hint, 2u);
    for (std::uint32_t b = 4; b < 880; ++b)
        mark_block_used(b);
    EXPECT_EQ(allocate_block(), 3u);
    std::vector<std::uint8_t> map(volume.work_map, volume.work_map + 512);
    EXPECT_EQ(allocate_block(), 0u);
    EXPECT_EQ(volume.alloc_hint, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(volume.work_map, volume.work_map + 512), map);
}

// Marking a table of block numbers gives what marking them one by one, from
// the last to the first, gives: the same messages in the same order and the
// same map.
TEST(Bitmap, MarkTableAsOneByOne)
{
    const std::uint32_t blocks[] = {900, 1, 902, 1760, 902, 0xFFFFFFFF, 880, 903, 0, 1759};
    std::uint8_t table[4 * std::size(blocks)];
    for (std::size_t i = 0; i < std::size(blocks); ++i)
        put_long(table, std::uint32_t(4 * i), blocks[i]);
    fresh_map();
    std::string one_by_one = captured([&] {
        for (std::size_t i = std::size(blocks); i-- > 0;)
            mark_block_used(blocks[i]);
    });
    std::vector<std::uint8_t> map(volume.work_map, volume.work_map + 512);
    fresh_map();
    EXPECT_EQ(captured([&] { mark_table_used(table, std::uint32_t(std::size(blocks))); }), one_by_one);
    EXPECT_EQ(std::vector<std::uint8_t>(volume.work_map, volume.work_map + 512), map);
    EXPECT_EQ(one_by_one,
              "vistrel: can't allocate block 0 (block is reserved)\n"
              "vistrel: block 880 already allocated\n"
              "vistrel: can't allocate block -1 (block is out of range)\n"
              "vistrel: can't allocate block 1760 (block is out of range)\n"
              "vistrel: block 902 already allocated\n"
              "vistrel: can't allocate block 1 (block is reserved)\n");

    // eight following block numbers that wrap past 2^32 - 1 to 0 and 1: out
    // of range and reserved, never a run of free blocks
    const std::uint32_t wrapping[] = {1, 0, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFB, 0xFFFFFFFA};
    std::uint8_t wrapping_table[4 * std::size(wrapping)];
    for (std::size_t i = 0; i < std::size(wrapping); ++i)
        put_long(wrapping_table, std::uint32_t(4 * i), wrapping[i]);
    fresh_map();
    std::vector<std::uint8_t> fresh(volume.work_map, volume.work_map + 512);
    std::string out = captured([&] { mark_table_used(wrapping_table, std::uint32_t(std::size(wrapping))); });
    EXPECT_EQ(out, "vistrel: can't allocate block -6 (block is out of range)\n"
                   "vistrel: can't allocate block -5 (block is out of range)\n"
                   "vistrel: can't allocate block -4 (block is out of range)\n"
                   "vistrel: can't allocate block -3 (block is out of range)\n"
                   "vistrel: can't allocate block -2 (block is out of range)\n"
                   "vistrel: can't allocate block -1 (block is out of range)\n"
                   "vistrel: can't allocate block 0 (block is reserved)\n"
                   "vistrel: can't allocate block 1 (block is reserved)\n");
    EXPECT_EQ(std::vector<std::uint8_t>(volume.work_map, volume.work_map + 512), fresh);
}

// The same on tables of runs of following blocks, aligned to a map byte or
// not, broken by one entry, over blocks already in use, up to the volume's
// end and past it.
TEST(Bitmap, MarkTableOfRunsAsOneByOne)
{
    std::uint32_t seed = 7;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint32_t> blocks;  // in the order they are marked
        while (blocks.size() < 60) {
            std::uint32_t first = next(4) == 0 ? 1750 + next(8) : 2 + 8 * next(200) + (next(3) == 0 ? next(8) : 0);
            for (std::uint32_t k = 0, length = 1 + next(20); k < length; ++k)
                blocks.push_back(next(25) == 0 ? first : first + k);
        }
        blocks.resize(60);
        std::uint8_t table[4 * 60];
        for (std::size_t i = 0; i < 60; ++i)
            put_long(table, std::uint32_t(4 * (59 - i)), blocks[i]);
        std::vector<std::uint32_t> before;  // blocks in use beforehand
        for (int k = 0; k < 4; ++k)
            before.push_back(2 + next(1700));

        fresh_map();
        std::string one_by_one = captured([&] {
            for (std::uint32_t b : before)
                mark_block_used(b);
            for (std::uint32_t b : blocks)
                mark_block_used(b);
        });
        std::vector<std::uint8_t> map(volume.work_map, volume.work_map + 512);
        fresh_map();
        std::string at_once = captured([&] {
            for (std::uint32_t b : before)
                mark_block_used(b);
            mark_table_used(table, 60);
        });
        ASSERT_EQ(at_once, one_by_one) << round;
        ASSERT_EQ(std::vector<std::uint8_t>(volume.work_map, volume.work_map + 512), map) << round;
    }
}

// Where a block's bit lands in the bitmap block that is written: bit k of
// the map (block reserved + k) is bit k % 32 of long k / 32, a set bit free.
TEST(Bitmap, MapBitsInTheStoredBlock)
{
    const std::string path = e2e::sparse_image("bits.img", 1760 * 512);
    int fd = open(path.c_str(), O_RDWR);
    start_session(fd, 512, 1760);
    volume.root_block = 880;
    volume.volume_name = "";
    init_root_block();
    ASSERT_EQ(create_bitmap(), 0);
    for (std::uint32_t b : {2u, 9u, 10u, 33u, 34u})
        ASSERT_EQ(mark_block_used(b), 0);
    ASSERT_EQ(store_bitmap(), 0);
    // map bits 0, 7, 8 and 31 in use in long 0, bit 32 in long 1
    EXPECT_EQ(e2e::read_be32(path, 881 * 512 + 4), ~0x80000181u);
    EXPECT_EQ(e2e::read_be32(path, 881 * 512 + 8), ~0x00000001u);
    EXPECT_EQ(e2e::read_be32(path, 881 * 512 + 12), 0xFFFFFFFFu);
    close(fd);
}

TEST(Bitmap, CreateAndStoreOneBitmapBlock)
{
    const std::string path = e2e::sparse_image("bitmap.img", 1760 * 512);
    int fd = open(path.c_str(), O_RDWR);
    start_session(fd, 512, 1760);
    volume.root_block = 880;
    volume.volume_name = "x";
    volume.verbosity = 2;
    init_root_block();
    int created = -1, stored = -1;
    EXPECT_EQ(captured([&] {
                  created = create_bitmap();
                  report_bitmap_allocation();
                  stored = store_bitmap();
              }),
              "alloc bitmap 0 at 881\nwrite bitmap 0 : 881\n");
    EXPECT_EQ(created, 0);
    EXPECT_EQ(stored, 0);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 196), 881u);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 192), 0u);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 96), 0u);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 200), 0xFFFFFFFFu);
    for (std::uint32_t i = 0; i < 128; ++i)
        EXPECT_EQ(e2e::read_be32(path, 881 * 512 + 4 * i), i == 0 ? 0x0000C07Fu : i == 28 ? 0xFFFF3FFFu : 0xFFFFFFFFu)
            << "long " << i;
    // only the bitmap block was written: not the root block
    EXPECT_EQ(e2e::read_range(path, 880 * 512, 512), std::vector<std::uint8_t>(512, 0));

    // with bitmap errors counted nothing is written and the flag stays
    put_long(volume.root_buffer, 512 - 200, 0);
    raise(Problem::BitmapChecksum, 881);
    EXPECT_EQ(captured([&] { stored = store_bitmap(); }), "vistrel: error in bitmap (bitmap-checksum). abort writing bitmap\n");
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 200), 0u);
    close(fd);
}

// A bitmap that cannot be written whole is never marked valid: a failed
// write ends the store and leaves the flag as it was; a format whose first
// extension block cannot be written goes no further.
TEST(Bitmap, WritesThatFail)
{
    const std::string path = e2e::sparse_image("store.img", 101603ull * 512);
    int fd = open(path.c_str(), O_RDONLY);
    start_session(fd, 512, 101603);
    volume.root_block = 50802;
    volume.volume_name = "x";
    init_root_block();
    ASSERT_EQ(create_bitmap(), 0);  // 26 bitmap blocks and one extension block, in memory
    int stored = -1;
    EXPECT_EQ(captured([&] { stored = store_bitmap(); }), "vistrel: unable to write block 50803 (Bad file descriptor)\n");
    EXPECT_EQ(stored, 1);
    EXPECT_EQ(get_long(volume.root_buffer, 512 - 200), 0u);
    int written = -1;
    EXPECT_EQ(captured([&] { written = execute_plan(format_write_plan()); }),
              "vistrel: unable to write block 50828 (Bad file descriptor)\n");
    EXPECT_EQ(written, 1);
    close(fd);
}

TEST(RootSearch, EveryBlockSizeConvertsTheSize)
{
    for (std::uint32_t size : {512u, 1024u, 2048u, 4096u}) {
        SCOPED_TRACE(size);
        tv::VolumeSetup setup;
        setup.block_size = size;
        setup.total_blocks = 1000;
        setup.extra_bytes = 700;
        tv::Volume built(setup);
        const std::string path = e2e::temp_path("search.img");
        built.write(path);
        int fd = open(path.c_str(), O_RDONLY);
        const std::uint64_t sectors = (1000ull * size + 700) / 512;
        start_session(fd, 0, std::uint32_t(sectors));
        volume.verbosity = 1;
        int result = -1;
        EXPECT_EQ(captured([&] { result = find_root_block(sectors); }), "root block found at 500\n");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(volume.block_size, size);
        EXPECT_EQ(volume.block_shift, shift_of_block_size(size));
        EXPECT_EQ(volume.root_block, 500u);
        EXPECT_EQ(volume.total_blocks, size == 512 ? 1001u : 1000u);
        close(fd);
    }
}

TEST(RootSearch, DevicesBeyond32BitSectors)
{
    // a device of 2^33 + 16 sectors, whose middle sector is 2^32 + 8
    const std::uint64_t sectors = (std::uint64_t(1) << 33) + 16, middle = sectors / 2;
    struct Case {
        std::uint32_t block_size, forced, given;
        std::uint64_t sector;  // where the root block is put
        int result;
        const char *out;
        std::uint32_t root, total;
    } cases[] = {
        {4096, 0, 0, middle, 0, "root block found at 536870913\n", 536870913, 1073741826},
        {2048, 0, 0, middle, 0, "root block found at 1073741826\n", 1073741826, 2147483652u},
        // 2^32 + 8 blocks of 1024 bytes: a volume reaches only 2^32 - 1 of them
        {1024, 1024, 1000, 2000, 0, "root block found at 1000\n", 1000, 0xFFFFFFFF},
        // no 32-bit block number reaches the middle
        {512, 0, 0, middle, 1, "vistrel: unable to find root block\n", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.block_size);
        tv::VolumeSetup setup;
        setup.block_size = c.block_size;
        tv::Volume small(setup);  // its root block, moved into the large device
        const std::vector<std::uint8_t> image = small.bytes();
        const std::string path = e2e::sparse_image("huge.img", sectors * 512);
        int fd = open(path.c_str(), O_RDWR);
        ASSERT_EQ(pwrite(fd, image.data() + small.root() * c.block_size, c.block_size, off_t(c.sector * 512)),
                  ssize_t(c.block_size));
        start_session(fd, c.forced, 0xFFFFFFFF);
        volume.root_block = c.given;
        volume.verbosity = 1;
        int result = -1;
        EXPECT_EQ(captured([&] { result = find_root_block(sectors); }), c.out);
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(volume.root_block, c.root);
            EXPECT_EQ(volume.total_blocks, c.total);
        }
        close(fd);
    }
}

}  // namespace
