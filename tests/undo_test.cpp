// Undo files: vistrel -w and -c and plandor save the old contents of every
// block they write (-z), and vistrel --restore puts them back.  Every test
// looks at the image bytes: a restore brings back the original byte for
// byte, and a refused one changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e.h"
#include "rdbimage.h"
#include "volbuilder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

// the undo file's layout: header, the device's identity, saved blocks (block
// size + 16 bytes), records
constexpr std::uint64_t header_bytes = 48, record_bytes = 24;

// where the saved blocks start: after the header and the identity (its path,
// padded to 8 bytes, and its check)
std::uint64_t saved_at(const std::string &undo)
{
    std::uint64_t path = e2e::read_be32(undo, header_bytes + 4);
    return header_bytes + 24 + (path + 7) / 8 * 8 + 8;
}

// the restore's one line: "restored N of `saved` blocks"
void expect_restored(const std::string &out, std::size_t saved)
{
    EXPECT_EQ(out.rfind("restored ", 0), 0u) << out;
    std::string end = " of " + std::to_string(saved) + " blocks\n";
    EXPECT_TRUE(out.size() > end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

tv::Opts at(std::uint32_t slot)
{
    tv::Opts o;
    o.slot = slot;
    return o;
}

// files a and big, directory d holding b; one block of the tree marked free
// and one free block marked in use, the bitmap flag `flag` (not valid)
std::unique_ptr<tv::Volume> populated(std::uint32_t block_size, std::uint32_t dos_type, std::uint32_t flag = 0)
{
    tv::VolumeSetup setup;
    setup.block_size = block_size;
    setup.dos_type = dos_type;
    setup.bitmap_flag = flag;
    auto v = std::make_unique<tv::Volume>(setup);
    v->add_file(v->root(), "a", 1, at(0));
    std::uint32_t d = v->add_dir(v->root(), "d", at(1));
    v->add_file(d, "b", 1, at(0));
    v->add_file(v->root(), "big", 30000, at(2));
    v->finish();
    v->set_disk_bit(883, false);
    v->set_disk_bit(1000, true);
    return v;
}

// 26 bitmap blocks, the last one named by the extension block 50828, with a
// wrong bit in the first and in the last bitmap block
std::unique_ptr<tv::Volume> with_extension()
{
    tv::VolumeSetup setup;
    setup.total_blocks = 101603;
    auto v = std::make_unique<tv::Volume>(setup);
    v->add_file(v->root(), "a", 1, at(0));
    v->finish();
    v->set_disk_bit(101602, true);
    v->set_disk_bit(50831, false);
    return v;
}

std::string write_image(tv::Volume &v, const std::string &name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}

void write_file(const std::string &path, const Bytes &bytes)
{
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
}

// puts `bytes` at `offset` of a file
void patch(const std::string &path, std::uint64_t offset, const Bytes &bytes)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
    close(fd);
}

void cut(const std::string &path, std::uint64_t bytes) { ASSERT_EQ(truncate(path.c_str(), off_t(bytes)), 0); }

Bytes block_of(const Bytes &image, std::uint32_t block, std::uint32_t size)
{
    return Bytes(image.begin() + std::ptrdiff_t(std::uint64_t(block) * size),
                 image.begin() + std::ptrdiff_t(std::uint64_t(block + 1) * size));
}

// the block numbers saved in an undo file of blocks of `size` bytes
std::vector<std::uint32_t> saved_blocks(const std::string &undo, std::uint32_t size)
{
    std::vector<std::uint32_t> blocks;
    std::uint32_t count = e2e::read_be32(undo, 12);
    for (std::uint32_t i = 0; i < count; ++i)
        blocks.push_back(e2e::read_be32(undo, saved_at(undo) + std::uint64_t(i) * (size + 16)));
    return blocks;
}

std::string replaced(std::string text, const std::string &undo, const std::string &device)
{
    for (std::size_t at; (at = text.find("UNDO")) != std::string::npos;)
        text.replace(at, 4, undo);
    for (std::size_t at; (at = text.find("DEV")) != std::string::npos;)
        text.replace(at, 3, device);
    return text;
}

// Each run writes, and the restore takes back every byte; a second restore
// finds nothing left to do.
TEST(Undo, RestoreBringsBackTheOriginal)
{
    struct Row {
        const char *name;
        std::function<std::unique_ptr<tv::Volume>()> build;
        std::function<e2e::Run(const std::string &image, const std::string &undo)> run;
    };
    auto vistrel = [](Args options) {
        return [options](const std::string &image, const std::string &undo) {
            Args args = options;
            args.insert(args.end(), {"-z", undo, image});
            return e2e::vistrel(args);
        };
    };
    auto plandor = [](Args options) {
        return [options](const std::string &image, const std::string &undo) {
            Args args = options;
            args.insert(args.end(), {"-f", "--undo=" + undo, image, "Fresh"});
            return e2e::plandor(args);
        };
    };
    const Row rows[] = {
        {"vistrel -w, 512-byte blocks", [] { return populated(512, tv::kDos1); }, vistrel({"-w"})},
        {"vistrel -w, 4096-byte blocks, dircache", [] { return populated(4096, tv::kDos0 + 5); }, vistrel({"-w"})},
        {"vistrel -w through an extension block", with_extension, vistrel({"-w"})},
        {"vistrel -c", [] { return populated(1024, tv::kDos0, 0xFFFFFFFF); }, vistrel({"-c"})},
        {"vistrel -c -w", [] { return populated(512, tv::kDos1, 0xFFFFFFFF); }, vistrel({"-c", "-w"})},
        {"plandor over a populated volume", [] { return populated(512, tv::kDos1); }, plandor({})},
        {"plandor with another block size", [] { return populated(512, tv::kDos1); }, plandor({"-s", "2048", "-d"})},
        {"plandor with extension blocks", with_extension, plandor({"-o"})},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto v = row.build();
        std::string image = write_image(*v, "undo.adf");
        std::string undo = e2e::temp_path("undo");
        Bytes original = e2e::read_file(image);

        e2e::Run first = row.run(image, undo);
        EXPECT_EQ(first.status, 0) << first.out;
        ASSERT_NE(e2e::read_file(image), original);

        e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
        expect_restored(restore.out, saved_blocks(undo, v->block_size()).size());
        EXPECT_EQ(restore.status, 0);
        EXPECT_EQ(e2e::read_file(image), original);

        e2e::Run again = e2e::vistrel({"-v", "--restore=" + undo, image});
        EXPECT_EQ(again.out, "restored 0 of " + std::to_string(saved_blocks(undo, v->block_size()).size()) +
                                 " blocks\n");
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(e2e::read_file(image), original);
    }
}

// After vistrel -w -z on the populated floppy (saved: root 880 and bitmap
// block 881), one thing is spoiled; the restore refuses with status 1 and
// leaves the image as it was.  -f overrides only a volume changed since, and
// restores the original; -n only tests.
TEST(Undo, RestoreRefusesUnlessForced)
{
    auto records = [](const std::string &undo) { return saved_at(undo) + 2 * (512 + 16); };
    struct Row {
        const char *name;
        std::function<void(const std::string &image, const std::string &undo, std::string &device)> spoil;
        Args options;
        const char *out;
        int status = 1;  // with 0 the image becomes the original, unless -n
    };
    auto nothing = [](const std::string &, const std::string &, std::string &) {};
    const Row rows[] = {
        {"bitmap block changed since, -f",
         [](const std::string &image, const std::string &, std::string &) { patch(image, 881 * 512 + 40, {1}); },
         {"-f", "-v"},
         "vistrel: block 881 changed since the undo file was written\nrestored 2 of 2 blocks\n",
         0},
        {"nothing changed, -n", nothing, {"-n", "-v"}, "would restore 2 of 2 blocks\n", 0},
        {"bitmap block changed since",
         [](const std::string &image, const std::string &, std::string &) { patch(image, 881 * 512 + 40, {1}); },
         {},
         "vistrel: block 881 changed since the undo file was written\n"
         "vistrel: volume changed since the undo file was written; nothing restored (-f restores anyway)\n"},
        {"root block changed since, -n",
         [](const std::string &image, const std::string &, std::string &) { patch(image, 880 * 512 + 400, {7}); },
         {"-n"},
         "vistrel: block 880 changed since the undo file was written\n"
         "vistrel: volume changed since the undo file was written; nothing restored (-f restores anyway)\n"},
        {"no magic", [](const std::string &, const std::string &undo, std::string &) { patch(undo, 0, {'B'}); },
         {"-f"},
         "vistrel: 'UNDO' is not an undo file\n"},
        {"empty file", [](const std::string &, const std::string &undo, std::string &) { cut(undo, 0); }, {},
         "vistrel: 'UNDO' is not an undo file\n"},
        {"header changed", [](const std::string &, const std::string &undo, std::string &) { patch(undo, 23, {1}); },
         {"-f"},
         "vistrel: undo file 'UNDO' is damaged (bad header)\n"},
        {"saved root block changed",
         [](const std::string &, const std::string &undo, std::string &) { patch(undo, saved_at(undo) + 300, {9}); },
         {"-f"},
         "vistrel: undo file 'UNDO' is damaged (bad saved block 880)\n"},
        {"truncated in the saved blocks",
         [records](const std::string &, const std::string &undo, std::string &) { cut(undo, records(undo) - 100); },
         {},
         "vistrel: undo file 'UNDO' is damaged (truncated)\n"},
        {"truncated in the header",
         [](const std::string &, const std::string &undo, std::string &) { cut(undo, 20); },
         {},
         "vistrel: undo file 'UNDO' is damaged (truncated)\n"},
        {"first record changed",
         [records](const std::string &, const std::string &undo, std::string &) {
             patch(undo, records(undo) + 9, {0x55});
         },
         {"-f"},
         "vistrel: undo file 'UNDO' is damaged (bad record)\n"},
        {"bytes after the end record",
         [](const std::string &, const std::string &undo, std::string &) {
             patch(undo, e2e::read_file(undo).size(), {1, 2, 3});
         },
         {},
         "vistrel: undo file 'UNDO' is damaged (bytes after the end record)\n"},
        {"a larger device",
         [](const std::string &image, const std::string &, std::string &device) {
             device = e2e::temp_path("larger.adf");
             Bytes bytes = e2e::read_file(image);
             bytes.resize(bytes.size() + 512);
             write_file(device, bytes);
         },
         {"-f"},
         "vistrel: undo file 'UNDO' is for a device of 901120 bytes, 'DEV' has 901632\n"},
        {"no undo file",
         [](const std::string &, const std::string &undo, std::string &) { unlink(undo.c_str()); },
         {},
         "vistrel: unable to read undo file 'UNDO' (No such file or directory)\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto v = populated(512, tv::kDos1);
        std::string image = write_image(*v, "refused.adf");
        std::string undo = e2e::temp_path("undo");
        Bytes original = e2e::read_file(image);
        ASSERT_EQ(e2e::vistrel({"-w", "-z", undo, image}).status, 0);
        ASSERT_EQ(saved_blocks(undo, 512), (std::vector<std::uint32_t>{880, 881}));
        std::string device = image;
        row.spoil(image, undo, device);
        Bytes before = e2e::read_file(device);

        Args args = row.options;
        args.insert(args.end(), {"--restore=" + undo, device});
        e2e::Run restore = e2e::vistrel(args);
        EXPECT_EQ(restore.out, replaced(row.out, undo, device));
        EXPECT_EQ(restore.status, row.status);
        bool restored = row.status == 0 && row.options.at(0) != "-n";
        EXPECT_EQ(e2e::read_file(device), restored ? original : before);
    }
}

// A restore that stopped part way (here every other saved block is back
// already) is run again and completes.
TEST(Undo, InterruptedRestoreRunsAgain)
{
    auto v = with_extension();
    std::string image = write_image(*v, "half.adf");
    std::string undo = e2e::temp_path("undo");
    Bytes original = e2e::read_file(image);
    ASSERT_EQ(e2e::vistrel({"-w", "-z", undo, image}).status, 0);
    std::vector<std::uint32_t> saved = saved_blocks(undo, 512);
    ASSERT_EQ(saved.size(), 27u);  // the root and 26 bitmap blocks: what -w writes
    for (std::size_t i = 0; i < saved.size(); i += 2)
        patch(image, std::uint64_t(saved[i]) * 512, block_of(original, saved[i], 512));
    ASSERT_NE(e2e::read_file(image), original);

    e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
    expect_restored(restore.out, saved.size());
    EXPECT_EQ(restore.status, 0);
    EXPECT_EQ(e2e::read_file(image), original);
}

// The undo file of a format of 517 bitmap blocks and an extension block,
// which the bitmap's store reads back: the records of many writes are
// flushed at once, not one flush per block, and the restore still brings
// back the original.
TEST(Undo, RecordsAreFlushedInBatches)
{
    const std::string image = e2e::sparse_image("batched.img", 1ull << 30), undo = e2e::temp_path("batched.undo");
    const std::string counts = e2e::temp_path("counts");
    e2e::Run format = e2e::run(PLANDOR_PATH, {"-z", undo, image, "Batched"},
                               {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "FAULT_COUNTS=" + counts});
    ASSERT_EQ(format.status, 0) << format.out;
    const Bytes text = e2e::read_file(counts);
    long writes = 0, flushes = 0;
    ASSERT_EQ(std::sscanf(std::string(text.begin(), text.end()).c_str(), "pwrite %ld flush %ld", &writes, &flushes), 2);
    // the blocks, their saved copies and records, the end record
    EXPECT_GT(writes, 1000);
    EXPECT_LT(flushes, 12) << "the undo file was flushed for each block";
    e2e::Run check = e2e::vistrel({"-n", "-vv", image});
    EXPECT_EQ(check.status, 0);
    EXPECT_NE(check.out.find("bitmap check: \n"), std::string::npos);
    e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
    EXPECT_EQ(restore.status, 0) << restore.out;
    // the image was all zeros
    for (const auto &[offset, bytes] : e2e::sparse_data(image))
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), long(bytes.size())) << "at byte " << offset;
}

// A format and a repair of one partition: the undo file records the whole
// device and the partition's offset, and the restore, run on the whole
// device, puts back the partition's blocks, which lie past its start.
TEST(Undo, OnePartitionOfADevice)
{
    rdb::Table t;
    rdb::Part first, second;
    second.name = "Work", second.low_cyl = 66, second.high_cyl = 129;
    t.parts = {first, second};
    std::string image = rdb::image("parted.hdf", 5u << 20, t);
    Bytes original = e2e::read_file(image);

    std::string format_undo = e2e::temp_path("format-undo");
    ASSERT_EQ(e2e::plandor({"-z", format_undo, "-p", "work", image, "Work"}).status, 0);
    Bytes formatted = e2e::read_file(image);
    ASSERT_NE(formatted, original);
    e2e::Run cleared = e2e::vistrel({"-c", "-p", "2", image});
    ASSERT_EQ(cleared.status, 0) << cleared.out;
    Bytes before_repair = e2e::read_file(image);
    std::string repair_undo = e2e::temp_path("repair-undo");
    ASSERT_EQ(e2e::vistrel({"-w", "-z", repair_undo, "-p", "2", image}).status, 0);
    ASSERT_NE(e2e::read_file(image), before_repair);

    e2e::Run restore = e2e::vistrel({"--restore=" + repair_undo, image});
    expect_restored(restore.out, saved_blocks(repair_undo, 512).size());
    EXPECT_EQ(restore.status, 0);
    EXPECT_EQ(e2e::read_file(image), before_repair);
    // each block holds contents that the format wrote (its root block with
    // the flag cleared is what -c left), so the format goes back whole
    e2e::Run unformat = e2e::vistrel({"--restore=" + format_undo, image});
    expect_restored(unformat.out, saved_blocks(format_undo, 512).size());
    EXPECT_EQ(unformat.status, 0);
    EXPECT_EQ(e2e::read_file(image), original);
}

// A run that stopped after its first write (the root block with its bitmap
// flag cleared) leaves an undo file with one record and no end record
// (perhaps with half a record behind it): the restore accepts the blocks as
// that run left them.  A block written with no
// record is a change since.
TEST(Undo, RunThatStoppedEarly)
{
    struct Row {
        const char *name;
        std::uint64_t undo_bytes;  // after the saved blocks
        bool all_written;
        int status;
        const char *out;
    };
    const Row rows[] = {
        {"one record", record_bytes, false, 0,
         "undo file 'UNDO' has no end record: the run that wrote it stopped early\nrestored 0 of 2 blocks\n"},
        {"one record and half of the next", record_bytes + 10, false, 0,
         "undo file 'UNDO' has no end record: the run that wrote it stopped early\nrestored 0 of 2 blocks\n"},
        {"no record", 0, true, 1, nullptr},
        {"one record, both blocks written", record_bytes, true, 1, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto v = populated(512, tv::kDos1);
        std::string image = write_image(*v, "early.adf");
        std::string undo = e2e::temp_path("undo");
        Bytes original = e2e::read_file(image);
        ASSERT_EQ(e2e::vistrel({"-w", "-z", undo, image}).status, 0);
        Bytes repaired = e2e::read_file(image);
        std::uint64_t records = saved_at(undo) + 2 * (512 + 16);
        // the volume as the run left it after its first write, or whole
        std::uint32_t first = e2e::read_be32(undo, records);
        Bytes left = original;
        if (row.all_written)
            left = repaired;
        else {
            // -w's first write is the root block with its bitmap flag cleared
            ASSERT_EQ(first, v->root());
            std::uint8_t *root = left.data() + std::uint64_t(first) * 512;
            tv::put_be32(root + tv::off::bitmap_flag(512), 0);
            tv::seal_block(root, 512, 5);
        }
        write_file(image, left);
        cut(undo, records + row.undo_bytes);

        e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
        EXPECT_EQ(restore.status, row.status);
        if (row.status == 0) {
            EXPECT_EQ(restore.out, replaced(row.out, undo, image));
            EXPECT_EQ(e2e::read_file(image), original);
        } else {
            EXPECT_NE(restore.out.find("changed since the undo file was written"), std::string::npos);
            EXPECT_NE(e2e::read_file(image), original);
        }
    }
}

// An existing undo file is never overwritten: the run stops before it
// writes anything, and the file keeps its bytes.
TEST(Undo, ExistingFileRefused)
{
    const Args rows[] = {{"vistrel", "-w"}, {"vistrel", "-c"}, {"plandor"}};
    for (const Args &row : rows) {
        SCOPED_TRACE(row[0] + (row.size() > 1 ? " " + row[1] : ""));
        auto v = populated(512, tv::kDos1);
        std::string image = write_image(*v, "exists.adf");
        std::string undo = e2e::temp_path("undo");
        write_file(undo, {'k', 'e', 'e', 'p'});
        Bytes original = e2e::read_file(image);
        Args args(row.begin() + 1, row.end());
        args.insert(args.end(), {"-z", undo, image});
        e2e::Run run = row[0] == "vistrel" ? e2e::vistrel(args) : e2e::plandor({"-f", "-z", undo, image, "Fresh"});
        EXPECT_EQ(run.out, row[0] + ": undo file '" + undo + "' already exists\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(e2e::read_file(image), original);
        EXPECT_EQ(e2e::read_file(undo), (Bytes{'k', 'e', 'e', 'p'}));
    }
}

// A run that writes nothing (no -w or -c, or -n) leaves no undo file
// behind; --restore with a writing option is refused.
TEST(Undo, NoFileWithoutWrites)
{
    auto v = populated(512, tv::kDos1);
    std::string image = write_image(*v, "none.adf");
    Bytes original = e2e::read_file(image);
    struct Row {
        Args args;
        int status;
    };
    const Row rows[] = {{{}, 0}, {{"-n", "-w"}, 1}, {{"-n", "-c"}, 1}};
    for (const Row &row : rows) {
        std::string undo = e2e::temp_path("undo");
        Args args = row.args;
        args.insert(args.end(), {"-z", undo, image});
        EXPECT_EQ(e2e::vistrel(args).status, row.status);
        EXPECT_FALSE(e2e::exists(undo));
    }
    for (const char *option : {"-w", "-c", "-z"}) {
        Args args{option};
        if (std::string(option) == "-z")
            args.push_back(e2e::temp_path("undo"));
        args.insert(args.end(), {"--restore=" + e2e::temp_path("other"), image});
        e2e::Run run = e2e::vistrel(args);
        EXPECT_EQ(run.out, "vistrel: --restore cannot be combined with -w, -c or -z\n");
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_EQ(e2e::read_file(image), original);
}

// The environment of a run cut off before its k-th positioned write (to the
// device or to the undo file), through the preloaded fault injector.  A
// sanitizer's runtime must otherwise come first among the loaded libraries.
std::vector<std::string> stop_at(int k)
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "FAULT_PWRITE=kill:" + std::to_string(k),
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
}

// the status of a run that the injector killed
constexpr int killed = 128 + 9;

struct CutRow {
    const char *name;
    std::uint32_t flag;  // the bitmap flag of the populated volume
    Args args;           // the run, before "-z undo image"
    bool random = false;  // random bytes in place of the volume
};

const CutRow cut_rows[] = {
    {"vistrel -w, not validated", 0, {"vistrel", "-w"}},
    {"vistrel -w, validated", 0xFFFFFFFF, {"vistrel", "-w"}},
    {"vistrel -c", 0xFFFFFFFF, {"vistrel", "-c"}},
    {"plandor", 0xFFFFFFFF, {"plandor", "-f"}},
    // the saved root block is no root block: the restore must not leave the
    // format's root, marked valid, over bitmap blocks already put back
    {"plandor over random bytes", 0, {"plandor"}, true},
};

// the image of a row: the populated volume, or as many random bytes
std::string cut_image(const CutRow &row, const std::string &name)
{
    auto v = populated(512, tv::kDos1, row.flag);
    std::string image = write_image(*v, name);
    if (row.random) {
        Bytes noise = e2e::read_file(image);
        std::uint32_t x = 2024;
        for (auto &b : noise)
            b = std::uint8_t((x = x * 1103515245 + 12345) >> 24);
        write_file(image, noise);
    }
    return image;
}

e2e::Run run_with_undo(const CutRow &row, const std::string &image, const std::string &undo,
                       const std::vector<std::string> &env)
{
    Args args(row.args.begin() + 1, row.args.end());
    args.insert(args.end(), {"-z", undo, image});
    if (row.args[0] == "plandor")
        args.push_back("Fresh");
    return e2e::run(row.args[0] == "plandor" ? PLANDOR_PATH : VISTREL_PATH, args, env);
}

// A run cut off before any of its writes, to the undo file or the device:
// the restore then brings back the original, or refuses an undo file cut
// short while saving, before the device was touched.
TEST(Undo, RunCutOffAtEveryWrite)
{
    for (const CutRow &row : cut_rows) {
        std::string image = cut_image(row, "cut-run.adf");
        Bytes original = e2e::read_file(image);
        int touched = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE(testing::Message() << row.name << ", cut before write " << k);
            ASSERT_LT(k, 100);
            write_file(image, original);
            std::string undo = e2e::temp_path("undo");
            e2e::Run cut = run_with_undo(row, image, undo, stop_at(k));
            if (cut.status != killed) {
                EXPECT_EQ(cut.status, 0);
                break;
            }
            bool unchanged = e2e::read_file(image) == original;
            touched += unchanged ? 0 : 1;
            e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
            EXPECT_TRUE(restore.status == 0 || unchanged) << restore.out;
            EXPECT_EQ(e2e::read_file(image), original);
        }
        EXPECT_GT(touched, 0) << row.name;
    }
}

// A restore cut off before any of its writes leaves the volume as the run
// left it, as it was before the run, marked not validated, or with no root
// block at all (the random bytes come back first where the format put its
// root); run again, it completes.
TEST(Undo, RestoreCutOffAtEveryWrite)
{
    for (const CutRow &row : cut_rows) {
        std::string image = cut_image(row, "cut-restore.adf");
        std::string undo = e2e::temp_path("undo");
        Bytes original = e2e::read_file(image);
        ASSERT_EQ(run_with_undo(row, image, undo, {}).status, 0);
        Bytes after_run = e2e::read_file(image);
        int cuts = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE(testing::Message() << row.name << ", cut before write " << k);
            ASSERT_LT(k, 100);
            write_file(image, after_run);
            e2e::Run cut = e2e::run(VISTREL_PATH, {"--restore=" + undo, image}, stop_at(k));
            if (cut.status != killed) {
                EXPECT_EQ(cut.status, 0);
                break;
            }
            ++cuts;
            Bytes left = e2e::read_file(image);
            if (left != original && left != after_run) {
                e2e::Run look = e2e::vistrel({"-n", image});
                bool no_root = look.status == 1 && look.out.find("unable to find root block") != std::string::npos;
                EXPECT_TRUE(no_root || look.out.find("(not cleanly unmounted)") != std::string::npos) << look.out;
            }
            e2e::Run again = e2e::vistrel({"--restore=" + undo, image});
            EXPECT_EQ(again.status, 0) << again.out;
            EXPECT_EQ(e2e::read_file(image), original);
        }
        EXPECT_GT(cuts, 0) << row.name;
    }
}

}  // namespace
