// fsck.affs -y repairs the tree, not only the bitmap: after it, a second run
// finds nothing (the two-run rule), on every damage of the mutation test
// that the repairs cover; -p applies only the safe repairs; -z takes a
// repair back whole; and a repair that is killed at any of its writes
// leaves the old volume, one marked not validated, or the repaired one,
// which a following -y completes.
#include "e2e.h"
#include "volbuilder.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

e2e::Run fsck(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    return e2e::run(FSCK_AFFS_PATH, args, env);
}

struct Built {
    tv::Volume volume;
    std::vector<std::uint32_t> headers, extensions;
};

// every kind of entry, a file with an extension block; dircache blocks on the variants that have them
void populate(Built &b, bool dircache)
{
    tv::Volume &v = b.volume;
    std::uint32_t root = v.root();
    std::uint32_t dir = v.add_dir(root, "Dir", {.comment = "a directory"});
    std::uint32_t sub = v.add_dir(dir, "Sub");
    std::uint32_t big = v.add_file(dir, "big", (v.table_size() + 20) * v.payload());
    std::uint32_t small = v.add_file(root, "small", 700, {.comment = "two blocks"});
    std::uint32_t empty = v.add_file(sub, "empty", 0);
    std::uint32_t soft = v.add_softlink(root, "soft", "Dir/big");
    std::uint32_t hard = v.add_hardlink(sub, "hard", small);
    std::uint32_t chained = v.add_file(root, "chained", 10);
    if (dircache) {
        v.add_dircache(root, 1);
        v.add_dircache(dir, 1);
    }
    b.headers = {dir, sub, big, small, empty, soft, hard, chained};
    b.extensions = v.ext_blocks(big);
}

std::unique_ptr<Built> make(std::uint32_t dos, std::uint32_t block_size)
{
    std::unique_ptr<Built> b(
        new Built{tv::Volume({.block_size = block_size, .dos_type = tv::kDos0 + dos, .name = "Mutant"}), {}, {}});
    populate(*b, dos >= 4);
    return b;
}

// the offsets of the fields that the mutation test damages
std::vector<std::pair<const char *, std::uint32_t>> header_fields(std::uint32_t B)
{
    return {{"type", tv::off::type},
            {"header_key", tv::off::header_key},
            {"high_seq", tv::off::high_seq},
            {"first slot", tv::off::table_long(0)},
            {"last slot", tv::off::table_long(B / 4 - 57)},
            {"byte_size", tv::off::byte_size(B)},
            {"name_length", tv::off::name_length(B)},
            {"next_hash", tv::off::next_hash(B)},
            {"parent", tv::off::parent(B)},
            {"extension", tv::off::extension(B)},
            {"secondary_type", tv::off::secondary_type(B)}};
}

std::vector<std::pair<const char *, std::uint32_t>> extension_fields(std::uint32_t B)
{
    return {{"type", tv::off::type},
            {"header_key", tv::off::header_key},
            {"high_seq", tv::off::high_seq},
            {"checksum", tv::off::checksum},
            {"first slot", tv::off::table_long(0)},
            {"last slot", tv::off::table_long(B / 4 - 57)},
            {"parent", tv::off::parent(B)},
            {"extension", tv::off::extension(B)},
            {"secondary_type", tv::off::secondary_type(B)}};
}

// OFS data block fields (a block of "small"), and a dircache block's
std::vector<std::pair<const char *, std::uint32_t>> data_fields()
{
    return {{"type", tv::off::type}, {"header_key", 4}, {"sequence", 8}, {"data size", 12}, {"next", 16}};
}

std::vector<std::pair<const char *, std::uint32_t>> dircache_fields()
{
    return {{"type", tv::off::type}, {"own", 4}, {"parent", 8}, {"records", 12}, {"next", 16}};
}

struct Variant {
    std::uint32_t dos, block_size;
};

class TwoRuns : public testing::TestWithParam<Variant> {};

// The two-run rule: -y, then a check that finds nothing.  Every field of
// every block below the root (headers, extension blocks, OFS data blocks,
// dircache blocks) gets each of the fuzz verbs: zeroes, ones, its first,
// middle and last bit flipped, one added, one taken, a random value and the
// volume's size; with its checksum left wrong and resealed.  Damage to the
// root block and the bitmap is not made here.
TEST_P(TwoRuns, EveryMutationPassesTheTwoRunRule)
{
    Variant variant = GetParam();
    auto shape = make(variant.dos, variant.block_size);
    std::uint32_t total = shape->volume.total_blocks();
    struct Kind {
        std::vector<std::uint32_t> blocks;
        std::vector<std::pair<const char *, std::uint32_t>> fields;
    };
    std::vector<Kind> kinds = {{shape->headers, header_fields(variant.block_size)},
                               {shape->extensions, extension_fields(variant.block_size)}};
    if (variant.dos % 2 == 0)
        kinds.push_back({{shape->volume.data_blocks(shape->headers[3]).at(0)}, data_fields()});
    if (variant.dos >= 4)
        kinds.push_back({{shape->volume.dircache_blocks(shape->headers[0]).at(0)}, dircache_fields()});
    std::uint32_t random = 0x9E3779B9u;
    for (bool reseal : {true, false}) {
        for (const Kind &kind : kinds) {
            for (std::uint32_t block : kind.blocks) {
                for (const auto &[name, offset] : kind.fields) {
                    std::uint32_t old = shape->volume.get32(block, offset);
                    random = random * 1664525u + 1013904223u;
                    for (std::uint32_t value : {0u, 0xFFFFFFFFu, old ^ 0x80000000u, old ^ 0x8000u, old ^ 1u, old + 1,
                                                old - 1, random, total}) {
                        if (value == old)
                            continue;
                        SCOPED_TRACE(testing::Message() << "DOS" << variant.dos << "/" << variant.block_size << ": "
                                                        << name << " of block " << block << " = " << value
                                                        << (reseal ? " resealed" : ""));
                        auto b = make(variant.dos, variant.block_size);
                        b->volume.put32(block, offset, value);
                        if (reseal)
                            b->volume.reseal_header(block);
                        std::string image = e2e::temp_path("repaired.adf");
                        b->volume.write(image);
                        e2e::Run first = fsck({"-y", image});
                        ASSERT_TRUE(first.status == 0 || first.status == 1) << first.out;
                        e2e::Run second = fsck({"-n", image});
                        ASSERT_EQ(second.status, 0) << first.out << "--- second run:\n" << second.out;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, TwoRuns,
                         testing::Values(Variant{0, 512}, Variant{1, 512}, Variant{2, 1024}, Variant{3, 1024},
                                         Variant{4, 512}, Variant{5, 512}, Variant{1, 4096}, Variant{0, 2048}),
                         [](const testing::TestParamInfo<Variant> &info) {
                             return "DOS" + std::to_string(info.param.dos) + "_" +
                                    std::to_string(info.param.block_size);
                         });

// Damage that only -y repairs: -p leaves it (status 4; the bitmap of the
// tree as it is is written all the same), -n tells both.
TEST(TreeRepair, PreenLeavesWhatNeedsYes)
{
    auto b = make(1, 512);
    std::uint32_t small = b->headers[3];
    // the second data pointer of "small" out of the volume: a truncation
    b->volume.put32(small, tv::off::table_long(512 / 4 - 57 - 1), 5000);
    b->volume.reseal_header(small);
    std::string image = e2e::temp_path("preen.adf");
    b->volume.write(image);

    e2e::Run told = fsck({"-n", image});
    EXPECT_EQ(told.status, 4);
    EXPECT_NE(told.out.find("vistrel: -y would repair: small: file truncated before block 5000: 188 bytes cut, 512 kept\n"),
              std::string::npos)
        << told.out;
    e2e::Run preen = fsck({"-p", image});
    EXPECT_EQ(preen.status, 5) << preen.out;  // the bitmap corrected, the truncation left
    EXPECT_NE(preen.out.find("vistrel: left for -y: small: file truncated before block 5000"), std::string::npos)
        << preen.out;
    EXPECT_EQ(fsck({"-n", image}).status, 4);
    e2e::Run yes = fsck({"-y", image});
    EXPECT_EQ(yes.status, 1) << yes.out;
    EXPECT_EQ(fsck({"-n", image}).status, 0);
    // vistrel by its own name: --repair is -y
    b->volume.write(image);
    e2e::Run own = e2e::vistrel({"--repair", image});
    EXPECT_EQ(own.status, 0) << own.out;
    EXPECT_NE(own.out.find("vistrel: repaired: small: file truncated before block 5000"), std::string::npos) << own.out;
    EXPECT_EQ(e2e::vistrel({"-n", image}).out, "detected a fast amiga filesystem\n");
}

// An entry in a slot its name does not hash to moves (-p), into its chain
// in ascending order; a block claimed by two files: the later one gets a
// copy (-y).
TEST(TreeRepair, WrongSlotMovesIntoItsChain)
{
    Built b{tv::Volume({.name = "Slots"}), {}, {}};
    std::uint32_t root = b.volume.root();
    std::uint32_t first = b.volume.add_file(root, "first", 10);
    std::uint32_t stray = b.volume.add_file(root, "stray", 10, {.slot = b.volume.hash_slot("first")});
    std::string image = e2e::temp_path("slots.adf");
    b.volume.write(image);
    e2e::Run preen = fsck({"-p", image});
    EXPECT_EQ(preen.status, 1) << preen.out;
    EXPECT_EQ(fsck({"-n", image}).status, 0);
    (void)first;
    (void)stray;
}

TEST(TreeRepair, BlockClaimedTwiceIsCopied)
{
    auto b = make(1, 512);
    std::uint32_t small = b->headers[3], chained = b->headers[7];
    std::uint32_t shared = b->volume.data_blocks(small).at(0);
    b->volume.put32(chained, tv::off::table_long(512 / 4 - 57), shared);
    b->volume.reseal_header(chained);
    std::string image = e2e::temp_path("shared.adf");
    b->volume.write(image);
    e2e::Run yes = fsck({"-y", image});
    EXPECT_EQ(yes.status, 1) << yes.out;
    EXPECT_NE(yes.out.find("claimed twice, copied to block"), std::string::npos) << yes.out;
    EXPECT_EQ(fsck({"-n", image}).status, 0);
}

struct Damage {
    const char *name;
    void (*apply)(Built &b);
};

const Damage damages[] = {
    {"bad header checksum",
     [](Built &b) { b.volume.put32(b.headers[3], tv::off::high_seq, 9); }},
    {"wrong parent and key",
     [](Built &b) {
         b.volume.put32(b.headers[4], tv::off::parent(512), b.headers[0]);
         b.volume.put32(b.headers[2], tv::off::header_key, 7);
         b.volume.reseal_header(b.headers[4]);
         b.volume.reseal_header(b.headers[2]);
     }},
    {"directory rejected: its subtree goes to lost+found",
     [](Built &b) {
         b.volume.put32(b.headers[0], tv::off::type, 9);
         b.volume.reseal_header(b.headers[0]);
     }},
    {"rejected header and a data pointer past the end",
     [](Built &b) {
         b.volume.put32(b.headers[1], tv::off::type, 9);
         b.volume.reseal_header(b.headers[1]);
         b.volume.put32(b.headers[2], tv::off::table_long(512 / 4 - 57 - 3), 99999);
         b.volume.reseal_header(b.headers[2]);
     }},
};

// Another reader takes the repaired volume as sound: the Linux kernel's affs
// driver, in a VM (tests/kernel-volumes/kernel-vm), mounts each volume that
// -y repaired, writes a file and unmounts it; the check then finds nothing,
// and the kernel's file comes out whole.  FFS only: the kernel's OFS writer
// leaves its preallocated blocks in a file's list past the file's size, which
// the check rightly reports.
TEST(TreeRepair, TheKernelWritesTheRepairedVolume)
{
    std::string vm = std::string(SOURCE_DIR) + "/tests/kernel-volumes/kernel-vm";
    if (e2e::run("/bin/sh", {vm, "available"}).status != 0)
        GTEST_SKIP() << "no kernel VM: needs qemu-system-x86, linux-image-amd64 and busybox-static";
    std::vector<std::string> args = {vm, "write"};
    for (std::uint32_t dos : {1u, 3u})
        for (const Damage &d : damages) {
            SCOPED_TRACE(std::to_string(dos) + ": " + d.name);
            auto b = make(dos, 512);
            d.apply(*b);
            std::string image = e2e::temp_path("kernel" + std::to_string(args.size()) + ".adf");
            b->volume.write(image);
            e2e::Run yes = fsck({"-y", image});
            EXPECT_EQ(yes.status, 1) << yes.out;
            args.push_back(image);
        }
    e2e::Run written = e2e::run("/bin/sh", args);
    ASSERT_EQ(written.status, 0) << written.out << written.err;
    std::string numbers;
    for (int k = 1; k <= 3000; ++k)
        numbers += std::to_string(k) + "\n";
    for (std::size_t i = 2; i < args.size(); ++i) {
        SCOPED_TRACE(args[i]);
        e2e::Run check = e2e::vistrel({"-n", args[i]});
        EXPECT_EQ(check.status, 0) << check.out;
        EXPECT_EQ(check.out.find("vistrel:"), std::string::npos) << check.out;
        std::string out = e2e::temp_path("out" + std::to_string(i));
        EXPECT_EQ(e2e::run(VISTREL_PATH, {"-x", out, args[i]}).status, 0);
        std::ifstream in(out + "/kernel-file", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), numbers);
    }
}

// -y with -z, then --restore: the damaged volume's bytes come back.
TEST(TreeRepair, UndoTakesTheRepairBack)
{
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.name);
        auto b = make(1, 512);
        d.apply(*b);
        std::string image = e2e::temp_path("undo.adf"), undo = e2e::temp_path("undo.file");
        b->volume.write(image);
        std::vector<std::uint8_t> before = e2e::read_file(image);
        e2e::Run yes = fsck({"-y", image});  // a trial on a copy, to see it repairs
        ASSERT_EQ(yes.status, 1) << yes.out;
        b->volume.write(image);
        std::remove(undo.c_str());
        e2e::Run saved = e2e::vistrel({"--repair", "-z", undo, image});
        ASSERT_EQ(saved.status, 0) << saved.out << saved.err;
        ASSERT_NE(e2e::read_file(image), before);
        e2e::Run restored = e2e::vistrel({"--restore", undo, image});
        ASSERT_EQ(restored.status, 0) << restored.out << restored.err;
        EXPECT_EQ(e2e::read_file(image), before);
    }
}

std::uint32_t root_flag(const std::string &image, std::uint32_t root)
{
    return e2e::read_be32(image, std::uint64_t(root) * 512 + 512 - 200);
}

// Killed at every write of -y: the old volume, one marked not validated,
// or the repaired one; a following -y completes the repair.
TEST(TreeRepair, KilledAtEveryWrite)
{
    for (const Damage &d : damages) {
        auto b = make(1, 512);
        d.apply(*b);
        std::string image = e2e::temp_path("killed.adf"), counts = e2e::temp_path("counts");
        b->volume.write(image);
        std::vector<std::uint8_t> before = e2e::read_file(image);
        std::uint32_t root = b->volume.root();
        e2e::Run whole = fsck({"-y", image}, {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "FAULT_COUNTS=" + counts});
        ASSERT_EQ(whole.status, 1) << whole.out;
        std::vector<std::uint8_t> text = e2e::read_file(counts);
        int writes = 0;
        ASSERT_EQ(std::sscanf(std::string(text.begin(), text.end()).c_str(), "pwrite %d", &writes), 1);
        ASSERT_GE(writes, 3);
        for (int k = 1; k <= writes; ++k) {
            SCOPED_TRACE(testing::Message() << d.name << ", killed at write " << k);
            b->volume.write(image);
            e2e::Run killed = fsck({"-y", image}, {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH,
                                                   "FAULT_PWRITE=kill:" + std::to_string(k)});
            EXPECT_EQ(killed.status, 128 + 9) << killed.out;
            bool was = e2e::read_file(image) == before;
            bool not_validated = root_flag(image, root) == 0;
            bool repaired = fsck({"-n", image}).status == 0;
            EXPECT_TRUE(was || not_validated || repaired);
            e2e::Run again = fsck({"-y", image});
            EXPECT_TRUE(again.status == 0 || again.status == 1) << again.out;
            e2e::Run after = fsck({"-n", image});
            EXPECT_EQ(after.status, 0) << again.out << "--- then:\n" << after.out;
        }
    }
}

// Every file of known contents that the damage did not touch is, after -y,
// at its path or in lost+found, with the same bytes, as the copy-out reads
// them; and a second run finds nothing.
TEST(TreeRepair, NothingReachableIsLost)
{
    namespace fs = std::filesystem;
    struct Known {
        std::string name;
        std::uint32_t header;
        std::vector<std::uint8_t> bytes;
    };
    enum Cut { ChainHead, DirectoryRejected, RootSlotZeroed };
    struct Variant {
        std::uint32_t dos, block_size;
    };
    for (Variant variant : {Variant{0, 512}, Variant{1, 512}, Variant{5, 1024}, Variant{3, 2048}}) {
        for (Cut cut : {ChainHead, DirectoryRejected, RootSlotZeroed}) {
            SCOPED_TRACE(testing::Message() << "DOS" << variant.dos << "/" << variant.block_size << ", cut " << cut);
            tv::Volume v({.block_size = variant.block_size, .dos_type = tv::kDos0 + variant.dos, .name = "Known"});
            std::uint32_t root = v.root();
            std::uint32_t a = v.add_dir(root, "A");
            std::uint32_t b = v.add_dir(a, "B");
            std::vector<Known> known;
            auto file = [&](std::uint32_t parent, const std::string &name, std::uint32_t size) {
                std::uint32_t h = v.add_file(parent, name, size);
                known.push_back({name, h, v.fill_data(h, h)});
                return h;
            };
            std::uint32_t one = file(root, "one", 1000);
            // two more names in the chain of "one"
            std::vector<std::string> mates;
            for (int i = 0; mates.size() < 2; ++i)
                if (std::string n = "mate" + std::to_string(i); v.hash_slot(n) == v.hash_slot("one"))
                    mates.push_back(n);
            std::uint32_t mate0 = file(root, mates[0], 3 * variant.block_size + 5);
            file(root, mates[1], 0);
            file(a, "two", 3000);
            file(b, "three", 40 * variant.block_size);
            if (variant.dos >= 4) {
                v.add_dircache(root, 1);
                v.add_dircache(a, 1);
            }
            std::uint32_t damaged = 0;
            switch (cut) {
            case ChainHead:
                // the chain runs in ascending block order: "one" comes first
                damaged = std::min(one, mate0);
                v.put32(damaged, tv::off::type, 9);
                v.reseal_header(damaged);
                break;
            case DirectoryRejected:
                v.put32(a, tv::off::type, 9);
                v.reseal_header(a);
                break;
            case RootSlotZeroed:
                v.put32(root, tv::off::table_long(v.hash_slot("one")), 0);
                v.reseal_header(root);
                break;
            }
            std::string image = e2e::temp_path("known.adf");
            v.write(image);
            e2e::Run yes = fsck({"-y", image});
            ASSERT_EQ(yes.status, 1) << yes.out;
            ASSERT_EQ(fsck({"-n", image}).status, 0) << yes.out;
            fs::path out = e2e::temp_path("known.out");
            fs::remove_all(out);
            e2e::Run copied = e2e::run(VISTREL_PATH, {"-x", out.string(), image});
            ASSERT_EQ(copied.status, 0) << copied.out;
            std::map<std::string, std::string> files;  // file name -> contents
            for (const auto &e : fs::recursive_directory_iterator(out))
                if (e.is_regular_file()) {
                    std::ifstream in(e.path(), std::ios::binary);
                    std::ostringstream bytes;
                    bytes << in.rdbuf();
                    files[e.path().filename().string()] = bytes.str();
                }
            for (const Known &k : known) {
                if (k.header == damaged)
                    continue;
                std::string want(k.bytes.begin(), k.bytes.end());
                auto at = files.find(k.name);
                if (at == files.end())
                    at = files.find(std::to_string(k.header) + "." + k.name);
                ASSERT_NE(at, files.end()) << k.name << "\n" << yes.out;
                EXPECT_TRUE(at->second == want) << k.name;
            }
        }
    }
}

// A bitmap pointer of the root that cannot name a bitmap block (0, out of
// the volume, the root, a block named before) gets a new block from -p; the
// bitmap is then written there, and a second run finds nothing.
TEST(TreeRepair, UnsoundBitmapPointerIsReplaced)
{
    for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(kind);
        tv::Volume v({.total_blocks = 12000, .name = "Pointers"});
        std::uint32_t root = v.root();
        v.add_file(root, "file", 5000);
        ASSERT_GE(v.bitmap_blocks().size(), 3u);
        std::uint32_t values[] = {0, 12000 + 7, root, v.bitmap_blocks()[0]};
        std::uint32_t pointer = tv::off::bitmap_pages(512) + 4;  // the second one
        v.put32(root, pointer, values[kind]);
        v.reseal_header(root);
        std::string image = e2e::temp_path("pointers.adf");
        v.write(image);
        e2e::Run preen = fsck({"-p", image});
        ASSERT_EQ(preen.status, 1) << preen.out;
        EXPECT_NE(preen.out.find("which cannot be one, replaced by block"), std::string::npos) << preen.out;
        std::uint32_t fresh = e2e::read_be32(image, std::uint64_t(root) * 512 + pointer);
        EXPECT_NE(fresh, values[kind]);
        e2e::Run after = fsck({"-n", image});
        EXPECT_EQ(after.status, 0) << preen.out << "--- then:\n" << after.out;
    }
}

// A damaged directory cache is rebuilt by -p, with a record for each entry.
TEST(TreeRepair, DamagedCacheIsRebuiltFromTheEntries)
{
    tv::Volume v({.block_size = 512, .dos_type = tv::kDos0 + 5, .name = "Cache"});
    std::uint32_t root = v.root();
    std::set<std::string> names;
    for (int i = 0; i < 30; ++i) {
        std::string name = "entry with a long name " + std::to_string(i);
        v.add_file(root, name, std::uint32_t(i * 100));
        names.insert(name);
    }
    std::uint32_t cache = v.add_dircache(root, 1).at(0);
    v.put32(cache, 12, 77);  // its sum no longer 0
    std::string image = e2e::temp_path("cache.adf");
    v.write(image);
    e2e::Run preen = fsck({"-p", image});
    ASSERT_EQ(preen.status, 1) << preen.out;
    EXPECT_NE(preen.out.find("vistrel: repaired: cache of directory " + std::to_string(root) + " rebuilt in 4 new blocks"),
              std::string::npos)
        << preen.out;
    EXPECT_EQ(fsck({"-n", image}).status, 0);
    // the new chain names every entry once
    std::multiset<std::string> cached;
    std::uint32_t c = e2e::read_be32(image, std::uint64_t(root) * 512 + 512 - 8);
    for (int blocks = 0; c != 0 && blocks < 10; ++blocks) {
        std::vector<std::uint8_t> block = e2e::read_range(image, std::uint64_t(c) * 512, 512);
        auto be32 = [&](std::size_t at) {
            return std::uint32_t(block[at]) << 24 | std::uint32_t(block[at + 1]) << 16 | block[at + 2] << 8 | block[at + 3];
        };
        EXPECT_EQ(be32(0), 33u);
        EXPECT_EQ(be32(4), c);
        EXPECT_EQ(be32(8), root);
        std::size_t at = 24;
        for (std::uint32_t r = 0; r < be32(12); ++r) {
            std::size_t name_length = block[at + 23];
            cached.insert(std::string(block.begin() + at + 24, block.begin() + at + 24 + name_length));
            std::size_t comment_length = block[at + 24 + name_length];
            at += 25 + name_length + comment_length;
            at += at & 1;
        }
        c = be32(16);
    }
    EXPECT_EQ(std::set<std::string>(cached.begin(), cached.end()), names);
    EXPECT_EQ(cached.size(), names.size());
}

}  // namespace
