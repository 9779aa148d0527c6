// Self-test of the test-volume builder. Expected layouts are worked out here
// from the on-disk format, not from the builder's own helpers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "volbuilder.h"

namespace {

uint32_t be(const std::vector<uint8_t>& img, uint64_t pos) {
    return uint32_t(img[pos]) << 24 | uint32_t(img[pos + 1]) << 16 | uint32_t(img[pos + 2]) << 8 | img[pos + 3];
}

void set_be(std::vector<uint8_t>& img, uint64_t pos, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[pos + i] = uint8_t(v >> (24 - 8 * i));
}

uint32_t sum_of(const std::vector<uint8_t>& img, uint32_t block, uint32_t B) {
    uint32_t s = 0;
    for (uint32_t i = 0; i < B; i += 4) s += be(img, uint64_t(block) * B + i);
    return s;
}

std::string temp_path(const char* tag) { return "/tmp/volbuilder_test_" + std::to_string(getpid()) + tag; }

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Whether the on-disk bitmap of `v` marks `block` in use, decoded by hand:
// bit k of the map is bit k % 32 of long 1 + (k % bits) / 32 of bitmap block k / bits.
bool disk_bit_used(tv::Volume& v, uint32_t block) {
    const uint32_t B = v.block_size(), bits = (B - 4) * 8, k = block - v.reserved_blocks();
    uint32_t word = v.get32(v.bitmap_blocks()[k / bits], 4 + (k % bits) / 32 * 4);
    return !(word >> (k % 32) & 1);
}

TEST(VolBuilder, FreshFloppyImageIsExact) {
    tv::VolumeSetup setup;
    setup.name = "Work";
    setup.extra_bytes = 60;
    tv::Volume v(setup);
    const uint32_t B = 512;
    std::vector<uint8_t> want(1760 * B + 60, 0);
    set_be(want, 0, 0x444F5301);
    const uint64_t r = 880 * B;
    set_be(want, r + 0, 2);
    set_be(want, r + 12, 72);
    set_be(want, r + 312, 0xFFFFFFFF);  // bitmap valid
    set_be(want, r + 316, 881);         // first bitmap block
    for (uint64_t d : {r + 420, r + 472, r + 484}) {
        set_be(want, d, 16753);
        set_be(want, d + 4, 1333);
        set_be(want, d + 8, 1000);
    }
    want[r + 432] = 4;
    std::copy_n("Work", 4, want.begin() + r + 433);
    set_be(want, r + 508, 1);
    set_be(want, r + 20, 0u - sum_of(want, 880, B));
    const uint64_t m = 881 * B;
    set_be(want, m, 0x0000C07F);
    for (uint32_t i = 1; i < 128; ++i) set_be(want, m + 4 * i, i == 28 ? 0xFFFF3FFF : 0xFFFFFFFF);

    EXPECT_EQ(v.root(), 880u);
    ASSERT_EQ(v.bitmap_blocks(), std::vector<uint32_t>{881});
    EXPECT_TRUE(v.bitmap_ext_blocks().empty());
    std::vector<uint8_t> got = v.bytes();
    ASSERT_EQ(got.size(), want.size());
    for (uint64_t i = 0; i < want.size(); i += 4)
        ASSERT_EQ(be(got, i), be(want, i)) << "block " << i / B << " long " << i % B / 4;

    const std::string path = temp_path("fresh");
    v.write(path);
    EXPECT_EQ(read_file(path), want);
    std::remove(path.c_str());
}

// Bitmap blocks and extension blocks follow the root in chain order: the root's
// 25, then each extension block and the bitmap blocks that it lists.
TEST(VolBuilder, BitmapChainLayout) {
    struct Row {
        uint32_t B, span, bitmaps, exts;
    } rows[] = {
        {512, 4064, 1, 0},       {512, 101600, 25, 0},      {512, 101601, 26, 1},
        {512, 153 * 4064, 153, 2},  // first extension block full, second holds one pointer
        {1024, 204001, 26, 1},   {4096, 818400, 25, 0},     {4096, 818400 + 32736 * 1024, 25 + 1024, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("B " + std::to_string(row.B) + " span " + std::to_string(row.span));
        tv::VolumeSetup setup;
        setup.block_size = row.B;
        setup.total_blocks = row.span + 2;
        tv::Volume v(setup);
        const uint32_t B = row.B, L = B / 4, root = (row.span + 3) / 2;
        ASSERT_EQ(v.root(), root);
        ASSERT_EQ(v.bitmap_blocks().size(), row.bitmaps);
        ASSERT_EQ(v.bitmap_ext_blocks().size(), row.exts);
        std::vector<uint32_t> chain;  // every bitmap and extension block, in allocation order
        for (uint32_t i = 0; i < 25; ++i) {
            uint32_t p = v.get32(root, B - 196 + 4 * i);
            ASSERT_EQ(p, i < row.bitmaps ? root + 1 + i : 0) << "page " << i;
            if (p) chain.push_back(p);
        }
        uint32_t left = row.bitmaps > 25 ? row.bitmaps - 25 : 0;
        for (uint32_t e = v.get32(root, B - 96); e;) {
            chain.push_back(e);
            uint32_t take = std::min(left, L - 1);
            for (uint32_t j = 0; j < L - 1; ++j) {
                uint32_t p = v.get32(e, 4 * j);
                ASSERT_EQ(p != 0, j < take) << "ext " << e << " entry " << j;
                if (p) chain.push_back(p);
            }
            left -= take;
            e = v.get32(e, B - 4);
            ASSERT_EQ(e != 0, left > 0);
        }
        ASSERT_EQ(left, 0u);
        for (size_t i = 0; i < chain.size(); ++i) ASSERT_EQ(chain[i], root + 1 + i);
        for (uint32_t b : v.bitmap_blocks()) ASSERT_EQ(v.sum(b), 0u);
        // In use: the root and the chain; free: the rest, and every bit past the last block.
        EXPECT_TRUE(disk_bit_used(v, root));
        EXPECT_TRUE(disk_bit_used(v, chain.back()));
        EXPECT_FALSE(disk_bit_used(v, chain.back() + 1));
        EXPECT_FALSE(disk_bit_used(v, 2));
        EXPECT_FALSE(disk_bit_used(v, row.span + 1));
        const uint32_t bits = (B - 4) * 8, last = v.bitmap_blocks().back();
        for (uint32_t k = row.span; k < row.bitmaps * bits; k += 13)
            ASSERT_EQ(v.get32(last, 4 + (k % bits) / 32 * 4) >> (k % 32) & 1, 1u) << "map bit " << k;
    }
}

TEST(VolBuilder, BitmapWrapsBehindReservedBlocks) {
    tv::VolumeSetup setup;
    setup.total_blocks = 2 + 3 * 4064;
    setup.root_block = setup.total_blocks - 2;
    tv::Volume v(setup);
    EXPECT_EQ(v.bitmap_blocks(), (std::vector<uint32_t>{setup.total_blocks - 1, 2, 3}));
    EXPECT_EQ(v.add_dir(v.root(), "d"), 4u);  // the tree goes on from there
}

TEST(VolBuilder, FileBlockLists) {
    struct Row {
        uint32_t B, dos, byte_size, count;
        std::vector<uint32_t> shares;  // high_seq of the header and of each extension block
    } rows[] = {
        {512, 0x444F5300, 488, 1, {1}},   {512, 0x444F5300, 489, 2, {2}},
        {512, 0x444F5301, 512, 1, {1}},   {512, 0x444F5301, 513, 2, {2}},
        {512, 0x444F5301, 0, 0, {0}},     {512, 0x444F5301, 72 * 512, 72, {72}},
        {512, 0x444F5301, 100 * 512, 100, {72, 28}},
        {512, 0x444F5305, 300 * 512, 300, {72, 72, 72, 72, 12}},
        {1024, 0x444F5302, 1000 * 201, 201, {200, 1}},
        {4096, 0x444F5301, 0xFFFFFFFF, 1048576, {}},  // a 4 GiB file: ceil without wrap-around
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.B) + "/" + std::to_string(row.byte_size));
        tv::VolumeSetup setup;
        setup.block_size = row.B;
        setup.dos_type = row.dos;
        setup.total_blocks = 1100000;
        tv::Volume v(setup);
        uint32_t f = v.add_file(v.root(), "file", row.byte_size);
        const auto data = v.data_blocks(f);
        const auto ext = v.ext_blocks(f);
        const uint32_t B = row.B, L = B / 4, per = L - 56;
        ASSERT_EQ(data.size(), row.count);
        if (row.shares.empty()) continue;
        ASSERT_EQ(ext.size() + 1, row.shares.size());
        EXPECT_EQ(v.get32(f, B - 188), row.byte_size);
        std::set<uint32_t> distinct(data.begin(), data.end());
        EXPECT_EQ(distinct.size(), data.size());
        uint32_t cur = f, k = 0;
        for (size_t i = 0; i < row.shares.size(); ++i) {
            EXPECT_EQ(v.get32(cur, 8), row.shares[i]);
            for (uint32_t j = 0; j < per; ++j)  // long L - 51 - j
                ASSERT_EQ(v.get32(cur, 4 * (L - 51 - j)), j < row.shares[i] ? data[k + j] : 0u) << "long " << L - 51 - j;
            k += row.shares[i];
            if (cur != f) {
                EXPECT_EQ(v.get32(cur, 0), 16u);
                EXPECT_EQ(v.get32(cur, 4), cur);
                EXPECT_EQ(v.get32(cur, B - 12), f);
                EXPECT_EQ(v.get32(cur, B - 4), 0xFFFFFFFDu);
            }
            uint32_t next = v.get32(cur, B - 8);
            ASSERT_EQ(next, i < ext.size() ? ext[i] : 0u);
            cur = next;
        }
        for (uint32_t b : data) EXPECT_TRUE(disk_bit_used(v, b));
        for (uint32_t b : ext) EXPECT_TRUE(disk_bit_used(v, b));
    }
}

TEST(VolBuilder, HeaderFields) {
    tv::Volume v;
    const uint32_t B = 512;
    const std::string long_name(255, 'n'), long_comment(255, 'c');
    uint32_t d = v.add_dir(v.root(), "dir", {.comment = "dc", .date = {1, 2, 3}});
    uint32_t f = v.add_file(d, "file", 10);
    uint32_t s = v.add_softlink(d, "soft", "dir/file");
    uint32_t lf = v.add_hardlink(v.root(), "lf", f);
    uint32_t ld = v.add_hardlink(v.root(), "ld", d);
    uint32_t big = v.add_file(v.root(), long_name, 1, {.comment = long_comment});
    struct Row {
        uint32_t block, parent, secondary;
        std::string name;
    } rows[] = {{d, 880, 2, "dir"},   {f, d, 0xFFFFFFFD, "file"}, {s, d, 3, "soft"},
                {lf, 880, 0xFFFFFFFC, "lf"}, {ld, 880, 4, "ld"}, {big, 880, 0xFFFFFFFD, long_name}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name.substr(0, 8));
        EXPECT_EQ(v.get32(row.block, 0), 2u);
        EXPECT_EQ(v.get32(row.block, 4), row.block);
        EXPECT_EQ(v.sum(row.block), 0u);
        EXPECT_EQ(v.get32(row.block, B - 12), row.parent);
        EXPECT_EQ(v.get32(row.block, B - 4), row.secondary);
        EXPECT_EQ(v.get8(row.block, B - 80), row.name.size());
        for (uint32_t i = 0; i < row.name.size() && B - 79 + i < B - 16; ++i)
            ASSERT_EQ(v.get8(row.block, B - 79 + i), uint8_t(row.name[i]));
        EXPECT_TRUE(disk_bit_used(v, row.block));
        EXPECT_EQ(v.lookup(row.parent == 880 ? row.name : "dir/" + row.name), row.block);
    }
    EXPECT_EQ(v.get8(d, B - 184), 2u);
    EXPECT_EQ(v.get8(d, B - 182), 'c');
    EXPECT_EQ(v.get32(d, B - 88), 2u);  // date minutes
    EXPECT_EQ(v.get32(lf, B - 44), f);
    EXPECT_EQ(v.get32(ld, B - 44), d);
    EXPECT_EQ(v.get8(big, B - 184), 255u);  // the comment runs on to the block end
    EXPECT_EQ(v.get8(big, B - 93), 'c');
    EXPECT_EQ(v.get32(big, B - 16), 0u);
    EXPECT_EQ(v.lookup("dir/nothing"), 0u);
}

TEST(VolBuilder, HashSlotsAndChains) {
    struct Row {
        std::string name;
        bool intl;
        uint32_t slot;
    } rows[] = {{"A", false, 6}, {"a", false, 6}, {"\xE0", false, 21}, {"\xE0", true, 61}, {"\xF7", true, 44}};
    for (const Row& row : rows) EXPECT_EQ(tv::name_hash(row.name, 72, row.intl), row.slot) << row.name;

    // the volume's own hash: Latin-1 letters fold on international and
    // dircache volumes only
    for (uint32_t dos : {0x444F5301u, 0x444F5302u, 0x444F5303u, 0x444F5304u, 0x444F5305u, 0x6D754601u, 0x6D754653u}) {
        tv::Volume folded({.dos_type = dos});
        EXPECT_EQ(folded.hash_slot("\xE0"), tv::dos_is_intl(dos) || tv::dos_is_dircache(dos) ? 61u : 21u) << dos;
    }
    tv::Volume v({.dos_type = 0x444F5303});
    EXPECT_EQ(v.hash_slot("\xE0"), 61u);
    uint32_t a = v.add_file(v.root(), "a", 0, {.slot = 5});
    uint32_t b = v.add_file(v.root(), "b", 0, {.slot = 5});
    uint32_t c = v.add_file(v.root(), "c", 0, {.slot = 5});
    uint32_t d = v.add_file(v.root(), "d", 0, {.slot = 5, .chain_pos = 0});
    uint32_t e = v.add_file(v.root(), "e", 0, {.slot = 5, .chain_pos = 2});
    uint32_t f = v.add_file(v.root(), "f", 0, {.slot = 5});
    uint32_t h = v.add_file(v.root(), "h", 0, {.slot = 5, .chain_pos = 99});  // past the end: appended
    uint32_t i = v.add_file(v.root(), "i", 0, {.slot = 5});
    uint32_t g = v.add_file(v.root(), "A", 0);
    std::vector<uint32_t> chain;
    for (uint32_t x = v.get32(v.root(), 24 + 4 * 5); x && chain.size() < 20; x = v.get32(x, 512 - 16)) chain.push_back(x);
    EXPECT_EQ(chain, (std::vector<uint32_t>{d, a, e, b, c, f, h, i}));
    EXPECT_EQ(v.get32(v.root(), 24 + 4 * 6), g);
    EXPECT_EQ(v.sum(v.root()), 0u);
}

TEST(VolBuilder, BitmapMarksEveryTreeBlock) {
    tv::Volume v({.total_blocks = 4000, .dos_type = 0x444F5305});
    std::set<uint32_t> used = {v.root()};
    used.insert(v.bitmap_blocks().begin(), v.bitmap_blocks().end());
    for (uint32_t b : v.add_dircache(v.root(), 2)) used.insert(b);
    uint32_t d = v.add_dir(v.root(), "d");
    auto cache = v.add_dircache(d, 3, {3000});
    uint32_t f1 = v.add_file(d, "f1", 80 * 512);
    uint32_t f2 = v.add_file(v.root(), "f2", 1000, {.block = 3500, .data = {3501}});
    uint32_t s = v.add_softlink(d, "s", "x");
    uint32_t h = v.add_hardlink(d, "h", f2);
    for (uint32_t x : {d, f1, f2, s, h}) used.insert(x);
    for (uint32_t x : {f1, f2}) {
        used.insert(v.data_blocks(x).begin(), v.data_blocks(x).end());
        used.insert(v.ext_blocks(x).begin(), v.ext_blocks(x).end());
    }
    used.insert(cache.begin(), cache.end());
    ASSERT_EQ(v.data_blocks(f2).size(), 2u);
    EXPECT_EQ(v.data_blocks(f2)[0], 3501u);
    ASSERT_EQ(cache.size(), 3u);
    EXPECT_EQ(cache[0], 3000u);
    EXPECT_EQ(v.get32(d, 512 - 8), 3000u);
    for (size_t i = 0; i < cache.size(); ++i) {
        EXPECT_EQ(v.get32(cache[i], 0), 33u);
        EXPECT_EQ(v.get32(cache[i], 4), cache[i]);
        EXPECT_EQ(v.get32(cache[i], 8), d);
        EXPECT_EQ(v.get32(cache[i], 16), i + 1 < cache.size() ? cache[i + 1] : 0u);
        EXPECT_EQ(v.sum(cache[i]), 0u);
    }
    for (uint32_t b = 2; b < 4000; ++b) ASSERT_EQ(disk_bit_used(v, b), used.count(b) == 1) << "block " << b;
    EXPECT_THROW(v.add_dir(v.root(), "late"), std::logic_error);
}

// Damage in memory and damage of the written file give the same image.
TEST(VolBuilder, DamageInMemoryAndOnFile) {
    tv::Volume v;
    uint32_t f = v.add_file(v.root(), "f", 2000);
    const std::string path = temp_path("damage");
    v.write(path);
    tv::ImageFile img(path, v);
    for (tv::Patcher* p : {static_cast<tv::Patcher*>(&v), static_cast<tv::Patcher*>(&img)}) {
        p->put32(f, 512 - 188, 5000);
        p->reseal_header(f);
        p->set_disk_bit(v.data_blocks(f)[1], false);
        p->set_disk_bit(1000, true);
        p->put8(0, 3, 7);
        EXPECT_EQ(p->sum(f), 0u);
        EXPECT_EQ(p->sum(881), 0u);
        EXPECT_FALSE(p->disk_used(v.data_blocks(f)[1]));
        EXPECT_TRUE(p->disk_used(1000));
        EXPECT_THROW(p->put32(1760, 0, 1), std::invalid_argument);
        EXPECT_THROW(p->get32(f, 510), std::invalid_argument);
    }
    EXPECT_EQ(read_file(path), v.bytes());
    std::remove(path.c_str());
}

// The largest volume: sparse on disk, root in the middle without 32-bit wrap-around.
TEST(VolBuilder, LargestVolumeIsSparse) {
    tv::Volume v({.total_blocks = 0xFFFFFFFF});
    EXPECT_EQ(v.root(), 0x80000000u);
    const uint64_t bitmaps = (0xFFFFFFFFull - 2 + 4063) / 4064;
    ASSERT_EQ(v.bitmap_blocks().size(), bitmaps);
    EXPECT_EQ(v.bitmap_ext_blocks().size(), (bitmaps - 25 + 126) / 127);
    uint32_t f = v.add_file(v.root(), "f", 1);
    EXPECT_EQ(f, 0x80000000u + 1 + bitmaps + v.bitmap_ext_blocks().size());
    const std::string path = temp_path("huge");
    v.write(path);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 0xFFFFFFFFull * 512);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 2ull << 30);
    tv::ImageFile img(path, v);
    EXPECT_EQ(img.get32(0x80000000u, 0), 2u);
    EXPECT_EQ(img.sum(0x80000000u), 0u);
    EXPECT_EQ(img.get32(0x80000000u, 24 + 4 * v.hash_slot("f")), f);
    EXPECT_TRUE(img.disk_used(f));
    EXPECT_FALSE(img.disk_used(0xFFFFFFFE));
    std::remove(path.c_str());
}

}  // namespace
