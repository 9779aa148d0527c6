// What vistrel -w may write, and in which order.  Damage that ended a chain
// of the tree early hides blocks from the rebuilt map: -w then writes
// nothing unless forced.  A run that is killed or whose writes or flushes
// fail at any point leaves the old volume, one whose bitmap is marked not
// valid, or the repaired one, and a following -w completes the repair.
#include "e2e.h"
#include "volbuilder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Stretches = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;

// a file "xa" and, behind it in the same hash chain, a file "y4" (the two
// names hash alike at every block size) that damage to the first hides; a file "big" with one extension block; on dircache volumes a
// dircache block for the root
struct Shape {
    std::uint32_t x, y, big;
    std::vector<std::uint32_t> dircache;
};

Shape populate(tv::Volume &v)
{
    Shape s;
    s.x = v.add_file(v.root(), "xa", 1);
    s.y = v.add_file(v.root(), "y4", 3 * v.payload());
    s.big = v.add_file(v.root(), "big", (v.table_size() + 1) * v.payload());
    return s;
}

struct Hiding {
    const char *name;
    bool dircache;  // needs a dircache volume
    // damages the volume and returns the message it causes
    std::string (*damage)(tv::Volume &v, const Shape &s);
};

std::string number(std::uint32_t n) { return std::to_string(n); }

const Hiding hiding_kinds[] = {
    {"invalid checksum", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::table_long(0), 1);  // a slot past the file's one data block
         return "dir entry " + number(s.x) + " has invalid checksum (1)\n";
     }},
    {"invalid primary type", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::type, 7);
         v.reseal_header(s.x);
         return "dir entry " + number(s.x) + " has invalid primary type 7\n";
     }},
    {"root type", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::secondary_type(v.block_size()), 1);
         v.reseal_header(s.x);
         return "dir entry " + number(s.x) + " has root type\n";
     }},
    {"unknown secondary type", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::secondary_type(v.block_size()), 5);
         v.reseal_header(s.x);
         return "dir entry " + number(s.x) + " has unknown secondary type 5\n";
     }},
    {"header past the end", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::next_hash(v.block_size()), v.total_blocks());
         v.reseal_header(s.x);
         return "unable to read block " + number(v.total_blocks()) + " (block is out of range)\n";
     }},
    {"extension block past the end", false,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.big, tv::off::extension(v.block_size()), v.total_blocks());
         v.reseal_header(s.big);
         return "unable to read block " + number(v.total_blocks()) + " (block is out of range)\n";
     }},
    {"dircache checksum", true,
     [](tv::Volume &v, const Shape &s) {
         v.put32(s.dircache[0], 24, v.get32(s.dircache[0], 24) + 1);
         return "dcache entry " + number(s.dircache[0]) + " has invalid checksum\n";
     }},
    {"dircache past the end", true,
     [](tv::Volume &v, const Shape &) {
         v.put32(v.root(), tv::off::extension(v.block_size()), v.total_blocks());
         v.reseal_header(v.root());
         return "unable to read block " + number(v.total_blocks()) + " (block is out of range)\n";
     }},
};

struct Built {
    std::string image;
    Shape shape;
    std::uint32_t root;
    std::string message;
};

// A volume marked not cleanly unmounted, so that -w always has a root block
// to rewrite, with one kind of hiding damage.
Built build(const Hiding &kind, std::uint32_t block_size)
{
    tv::VolumeSetup setup;
    setup.block_size = block_size;
    setup.total_blocks = 1760;
    setup.bitmap_flag = 0;
    setup.dos_type = kind.dircache ? tv::kDos0 + 5 : tv::kDos1;
    tv::Volume v(setup);
    Built b;
    b.shape = populate(v);
    if (kind.dircache)
        b.shape.dircache = v.add_dircache(v.root(), 1);
    v.finish();
    b.message = "vistrel: " + kind.damage(v, b.shape);
    b.root = v.root();
    b.image = e2e::temp_path("hidden.adf");
    v.write(b.image);
    return b;
}

std::uint32_t root_flag(const std::string &image, std::uint32_t block_size, std::uint32_t root)
{
    return e2e::read_be32(image, std::uint64_t(root) * block_size + block_size - 200);
}

TEST(SafeWrite, HidingDamageRefusesEveryWriteUnlessForced)
{
    for (const Hiding &kind : hiding_kinds) {
        for (std::uint32_t block_size : {512u, 1024u, 2048u, 4096u}) {
            SCOPED_TRACE(testing::Message() << kind.name << ", " << block_size << "-byte blocks");
            Built b = build(kind, block_size);
            const std::vector<std::uint8_t> before = e2e::read_file(b.image);
            std::string detected = std::string("detected a ") + (kind.dircache ? "dircache " : "") +
                                   "fast amiga filesystem (not cleanly unmounted)\n";

            e2e::Run refused = e2e::vistrel({"-w", b.image});
            EXPECT_EQ(refused.out, detected + b.message + "vistrel: error in directory tree. abort writing bitmap\n");
            EXPECT_EQ(refused.status, 1);
            EXPECT_TRUE(e2e::read_file(b.image) == before) << "the image changed";

            // forced, the rebuilt map is written: the hidden file's blocks
            // are free on the volume afterwards
            e2e::Run forced = e2e::vistrel({"-w", "-f", b.image});
            EXPECT_EQ(forced.out, detected + b.message);
            EXPECT_EQ(forced.status, 0);
            EXPECT_EQ(root_flag(b.image, block_size, b.root), 0xFFFFFFFFu);
            e2e::Run after = e2e::vistrel({"-n", "-vv", b.image});
            EXPECT_NE(after.out.find("bitmap check: \n"), std::string::npos) << after.out;
        }
    }
}

// Damage that hides no block: the walk reached everything, so -w repairs.
struct Plain {
    const char *name;
    void (*damage)(tv::Volume &v, const Shape &s);
    const char *message;  // its start
};

const Plain plain_kinds[] = {
    {"loop", [](tv::Volume &v, const Shape &s) {
         v.put32(s.y, tv::off::next_hash(v.block_size()), s.x);
         v.reseal_header(s.y);
     }, "vistrel: dir entry "},
    {"wrong header key", [](tv::Volume &v, const Shape &s) {
         v.put32(s.y, tv::off::header_key, s.y + 1);
         v.reseal_header(s.y);
     }, "vistrel: wrong header key"},
    {"wrong blockcount", [](tv::Volume &v, const Shape &s) {
         v.put32(s.y, tv::off::high_seq, 9);
         v.reseal_header(s.y);
     }, "vistrel: wrong blockcount 9"},
    {"block exceeds file size", [](tv::Volume &v, const Shape &s) {
         v.put32(s.y, tv::off::byte_size(v.block_size()), 1);
         v.reseal_header(s.y);
     }, "vistrel: block "},
    {"cross-link", [](tv::Volume &v, const Shape &s) {
         v.put32(s.x, tv::off::data_ptr(v.block_size(), 0), v.get32(s.y, tv::off::data_ptr(v.block_size(), 0)));
         v.reseal_header(s.x);
     }, "vistrel: block "},
};

TEST(SafeWrite, DamageThatHidesNothingStillRepairs)
{
    for (const Plain &kind : plain_kinds) {
        SCOPED_TRACE(kind.name);
        tv::VolumeSetup setup;
        setup.bitmap_flag = 0;
        tv::Volume v(setup);
        Shape s = populate(v);
        v.finish();
        kind.damage(v, s);
        v.set_disk_bit(1000, true);  // a wrong bit, for -w to mend
        std::string image = e2e::temp_path("plain.adf");
        v.write(image);

        e2e::Run repair = e2e::vistrel({"-w", image});
        EXPECT_EQ(repair.status, 0) << repair.out;
        EXPECT_NE(repair.out.find(std::string("\n") + kind.message), std::string::npos) << repair.out;
        EXPECT_EQ(repair.out.find("abort"), std::string::npos) << repair.out;
        e2e::Run after = e2e::vistrel({"-n", "-vv", image});
        EXPECT_NE(after.out.find("bitmap check: \n"), std::string::npos) << after.out;
        EXPECT_EQ(after.out.find("not cleanly"), std::string::npos) << after.out;
    }
}

// ---------------------------------------------------------------------------
// Interrupted and failing writes, through the preloaded fault injector.

e2e::Run with_fault(const std::string &program, const std::vector<std::string> &args, const std::string &fault)
{
    return e2e::run(program, args,
                    {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, fault,
                     "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"});
}

// 200000 blocks of 512 bytes: 50 bitmap blocks, 25 of them named by one
// extension block.  The volume's bitmap claims to be valid but has wrong
// bits in a root-named and in an extension-named bitmap block.
struct Big {
    std::string image;
    std::uint64_t size;
    Stretches original;
    std::uint32_t root;
};

Big big_volume()
{
    tv::VolumeSetup setup;
    setup.total_blocks = 200000;
    tv::Volume v(setup);
    Shape s = populate(v);
    v.finish();
    EXPECT_EQ(v.bitmap_blocks().size(), 50u);
    EXPECT_EQ(v.bitmap_ext_blocks().size(), 1u);
    v.set_disk_bit(150000, true);  // free blocks marked in use
    v.set_disk_bit(3000, true);
    v.set_disk_bit(v.data_blocks(s.big).back(), false);  // a used one marked free
    Big b;
    b.image = e2e::temp_path("big.adf");
    v.write(b.image);
    b.size = 200000ull * 512;
    b.original = e2e::sparse_data(b.image);
    b.root = v.root();
    return b;
}

// Puts the original volume back into the image, as a sparse file.
void reset(const Big &b)
{
    int fd = open(b.image.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(b.size)), 0);
    for (const auto &[offset, bytes] : b.original)
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
    close(fd);
}

enum class State { Unchanged, MarkedNotValid, Repaired, Broken };

// What a read-only check makes of the image after an interrupted run.
State state_of(const Big &b, std::string &report)
{
    if (e2e::sparse_data(b.image) == b.original)
        return State::Unchanged;
    e2e::Run look = e2e::vistrel({"-n", "-vv", b.image});
    report = look.out;
    bool not_valid = look.out.find("detected a fast amiga filesystem (not cleanly unmounted)\n") != std::string::npos;
    if (not_valid && root_flag(b.image, 512, b.root) == 0)
        return State::MarkedNotValid;
    if (!not_valid && look.status == 0 && look.out.find("bitmap check: \n") != std::string::npos)
        return State::Repaired;
    return State::Broken;
}

// After any interruption, a plain -w finishes the repair.
void expect_repair_completes(const Big &b)
{
    e2e::Run again = e2e::vistrel({"-w", b.image});
    EXPECT_EQ(again.status, 0) << again.out;
    e2e::Run look = e2e::vistrel({"-n", "-vv", b.image});
    EXPECT_NE(look.out.find("detected a fast amiga filesystem\n"), std::string::npos) << look.out;
    EXPECT_NE(look.out.find("bitmap check: \n"), std::string::npos) << look.out;
}

// root (flag 0), 50 bitmap blocks, root (flag -1)
constexpr int repair_writes = 52;

// The process killed before write k, or write k failing with EIO: before
// the first write nothing changed; from the first root block on until the
// last one lands, the bitmap is marked not valid.
TEST(SafeWrite, KilledOrFailedAtEveryWrite)
{
    Big b = big_volume();
    for (std::string mode : {"kill", "eio"}) {
        for (int k = 1; k <= repair_writes + 1; ++k) {
            SCOPED_TRACE(testing::Message() << mode << " at write " << k);
            reset(b);
            e2e::Run run = with_fault(VISTREL_PATH, {"-w", b.image}, "FAULT_PWRITE=" + mode + ":" + std::to_string(k));
            bool struck = k <= repair_writes;
            EXPECT_EQ(run.status, !struck ? 0 : mode == "kill" ? 128 + 9 : 1);
            if (struck && mode == "eio") {
                EXPECT_NE(run.out.find("vistrel: unable to write block "), std::string::npos) << run.out;
                EXPECT_NE(run.out.find(" (Input/output error)\n"), std::string::npos) << run.out;
            }
            std::string report;
            EXPECT_EQ(state_of(b, report), k == 1 ? State::Unchanged : struck ? State::MarkedNotValid : State::Repaired)
                << report;
            expect_repair_completes(b);
        }
    }
}

TEST(SafeWrite, FailedFlushEndsWithStatusOne)
{
    struct Row {
        const char *program;
        std::vector<std::string> args;
        int flushes;  // the number of flushes of a run that succeeds
    };
    Big b = big_volume();
    const Row rows[] = {
        {VISTREL_PATH, {"-w"}, 3},
        {VISTREL_PATH, {"-c"}, 1},
        {PLANDOR_PATH, {"-f"}, 3},
    };
    for (const Row &row : rows) {
        for (int k = 1; k <= row.flushes; ++k) {
            SCOPED_TRACE(testing::Message() << row.program << (row.args.empty() ? "" : " " + row.args[0])
                                            << ", flush " << k << " fails");
            reset(b);
            std::vector<std::string> args = row.args;
            args.push_back(b.image);
            if (row.program == std::string(PLANDOR_PATH))
                args.push_back("Fresh");
            e2e::Run run = with_fault(row.program, args, "FAULT_FLUSH=eio:" + std::to_string(k));
            EXPECT_EQ(run.status, 1) << run.out;
            EXPECT_NE(run.out.find(": unable to flush device (Input/output error)\n"), std::string::npos) << run.out;
            if (k < row.flushes) {  // the root block went out with its flag 0
                EXPECT_EQ(root_flag(b.image, 512, b.root), 0u);
            }
        }
    }
}

// A format that ends at any write never leaves a volume that claims a valid
// bitmap it does not have: the old volume, an unfinished one marked not
// valid, or the new empty one.
TEST(SafeWrite, FormatKilledAtEveryWrite)
{
    Big b = big_volume();
    // extension block, root (flag 0), 50 bitmap blocks, root, block 0
    const int writes = 54;
    for (int k = 1; k <= writes + 1; ++k) {
        SCOPED_TRACE(testing::Message() << "killed at write " << k);
        reset(b);
        e2e::Run run = with_fault(PLANDOR_PATH, {"-f", b.image, "Fresh"}, "FAULT_PWRITE=kill:" + std::to_string(k));
        EXPECT_EQ(run.status, k <= writes ? 128 + 9 : 0);
        e2e::Run look = e2e::vistrel({"-n", "-vv", b.image});
        bool valid = look.out.find("detected a fast amiga filesystem\n") != std::string::npos;
        bool was = e2e::sparse_data(b.image) == b.original;
        bool empty_and_sound = look.out.find("bitmap check: \n") != std::string::npos &&
                               look.out.find("[") == std::string::npos;
        if (valid && !was) {
            EXPECT_TRUE(empty_and_sound) << look.out;
        }
        // from the first root block on until the last one, never valid
        if (k > 2 && k < writes) {
            EXPECT_FALSE(valid) << look.out;
        }
    }
}

}  // namespace
