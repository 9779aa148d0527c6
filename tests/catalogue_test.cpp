// The problem catalogue: every entry is raised by some volume, no line of a
// check is printed outside it, the walk does not depend on the text
// reporter, and findings know the path of the entry they are about.
#include "e2e.h"
#include "volbuilder.h"
#include "volume.h"
#include "internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Counts what it is told; keeps the paths of the findings.
struct CountingReporter final : Reporter {
    CountingReporter()
    {
        wants_entries = true;
        wants_blocks = true;
        wants_progress = true;
    }
    void problem(const Finding &finding) override
    {
        raised.insert(finding.problem);
        if (finding.where)
            paths.push_back(std::string(finding.info().code) + " " + finding.path());
    }
    void entry(const Entry &entry) override
    {
        entries += 1;
        listed.push_back(entry.where ? Finding{Problem::HeaderKey, 0, 0, 0, 1, entry.where}.path() : "");
    }
    void blocks(const BlockNote &) override { notes += 1; }
    void progress(std::uint64_t done, std::uint64_t total) override
    {
        EXPECT_LE(last_done, done);
        last_done = done;
        (void)total;
    }
    void note(Note, const NoteData &) override {}

    std::set<Problem> raised;
    std::vector<std::string> paths, listed;
    std::uint64_t entries = 0, notes = 0, last_done = 0;
};

// One volume or device, and the options to check it with.
struct Case {
    const char *name;
    std::function<std::string()> image;  // the path of the device
    std::uint32_t options = ReadOnly;
    int open_flags = O_RDONLY;
    std::uint64_t device_bytes = 0;  // 0: the file's own size
    std::uint32_t reserved = 2;
};

std::string write_volume(tv::Volume &v, const char *name)
{
    std::string path = e2e::temp_path(name);
    v.write(path);
    return path;
}

// A floppy with a directory and files, damaged by `damage`.
std::string damaged(const char *name, const std::function<void(tv::Volume &, std::uint32_t, std::uint32_t)> &damage,
                    std::uint32_t dos = tv::kDos1)
{
    tv::VolumeSetup setup;
    setup.dos_type = dos;
    tv::Volume v(setup);
    std::uint32_t dir = v.add_dir(v.root(), "Work");
    std::uint32_t file = v.add_file(dir, "big", 512 * 80);  // one extension block
    if (tv::dos_is_dircache(dos))
        v.add_dircache(dir, 1);
    v.finish();
    damage(v, dir, file);
    return write_volume(v, name);
}

// A volume of 26 bitmap blocks whose root names `ext` as its first bitmap
// extension block (UINT32_MAX: the root block itself).
std::string with_bitmap_ext(std::uint32_t ext, const char *name)
{
    tv::VolumeSetup setup;
    setup.total_blocks = 2 + 26 * 4064;
    tv::Volume v(setup);
    v.finish();
    v.put32(v.root(), v.block_size() - 96, ext == UINT32_MAX ? v.root() : ext);
    v.reseal_header(v.root());
    return write_volume(v, name);
}

const Case cases[] = {
    {"clean with every variant's blocks", [] { return damaged("clean.adf", [](tv::Volume &, std::uint32_t, std::uint32_t) {}, tv::kDos0 + 5); }},
    {"header checksum", [] {
         return damaged("h.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) { v.put32(f, tv::off::high_seq, 9); });
     }},
    {"header type", [] {
         return damaged("t.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             v.put32(f, tv::off::type, 7);
             v.reseal_header(f);
         });
     }},
    {"root type and hash slot", [] {
         return damaged("r.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t f) {
             v.put32(f, v.block_size() - 4, 1);
             v.reseal_header(f);
             // the directory moved to another slot of the root
             std::uint32_t slot = v.hash_slot("Work");
             v.put32(v.root(), tv::off::table_long(slot), 0);
             v.put32(v.root(), tv::off::table_long((slot + 1) % 72), d);
             v.reseal_header(v.root());
         });
     }},
    {"unknown secondary type, wrong key and parent", [] {
         tv::Volume v;
         std::uint32_t a = v.add_file(v.root(), "a", 10);
         std::uint32_t b = v.add_file(v.root(), "b", 10);
         std::uint32_t c = v.add_softlink(v.root(), "c", "a");
         v.finish();
         v.put32(a, v.block_size() - 4, 9);
         v.reseal_header(a);
         v.put32(b, tv::off::header_key, 5);
         v.put32(b, v.block_size() - 12, 7);
         v.reseal_header(b);
         v.put32(c, v.block_size() - 12, 7);
         v.reseal_header(c);
         return write_volume(v, "s.adf");
     }},
    {"loops and cross-links", [] {
         return damaged("l.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t f) {
             std::uint32_t ext = v.ext_blocks(f)[0];
             v.put32(ext, v.block_size() - 8, ext);  // the extension chain loops
             v.reseal_header(ext);
             v.put32(f, v.block_size() - 16, f);     // so does the hash chain
             v.reseal_header(f);
             std::uint32_t data = v.data_blocks(f)[0];
             v.put32(f, tv::off::table_long(70), data);  // a block claimed twice
             v.put32(f, tv::off::table_long(0), 0);
             v.put32(f, tv::off::table_long(1), 1);      // a reserved block
             v.put32(f, tv::off::table_long(2), 999999); // one past the end
             v.reseal_header(f);
             (void)d;
         });
     }},
    {"block counts and blocks past the size", [] {
         return damaged("c.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             v.put32(f, v.block_size() - 188, 512 * 10);  // the size ends in the header's table
             v.reseal_header(f);
         });
     }},
    {"extension block damage", [] {
         return damaged("e.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             std::uint32_t ext = v.ext_blocks(f)[0];
             v.put32(ext, tv::off::header_key, 3);
             v.put32(ext, v.block_size() - 12, 3);
             v.put32(ext, v.block_size() - 4, 2);
             v.reseal_header(ext);
         });
     }},
    {"OFS data block damage", [] {
         return damaged("od.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             const std::vector<std::uint32_t> &d = v.data_blocks(f);
             v.put32(d[0], tv::off::type, 9);
             v.put32(d[2], tv::off::header_key, 3);
             v.put32(d[3], 8, 99);   // sequence number
             v.put32(d[4], 12, 1);   // data size
             v.put32(d[5], 16, 0);   // next block
             for (int k : {0, 2, 3, 4, 5})
                 v.reseal_header(d[k]);
             v.put32(d[1], 100, 1);  // data changed, checksum not
         }, tv::kDos0);
     }},
    {"extension checksum", [] {
         return damaged("ec.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             v.put32(v.ext_blocks(f)[0], tv::off::high_seq, 99);
         });
     }},
    {"extension type", [] {
         return damaged("et.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             std::uint32_t ext = v.ext_blocks(f)[0];
             v.put32(ext, tv::off::type, 2);
             v.reseal_header(ext);
         });
     }},
    {"extension unreadable", [] {
         return damaged("eu.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             v.put32(f, v.block_size() - 8, 5000);
             v.reseal_header(f);
         });
     }},
    {"unreadable header", [] {
         return damaged("hu.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t) {
             v.put32(d, tv::off::table_long(3), 5000);
             v.reseal_header(d);
         });
     }},
    {"dircache damage", [] {
         return damaged("dc.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t) {
             std::uint32_t cache = v.dircache_blocks(d)[0];
             v.put32(cache, 4, 3);
             v.reseal_dircache(cache);
         }, tv::kDos0 + 5);
     }},
    {"dircache checksum", [] {
         return damaged("dk.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t) {
             v.put32(v.dircache_blocks(d)[0], 8, 1);
         }, tv::kDos0 + 5);
     }},
    {"dircache loop", [] {
         return damaged("dl.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t) {
             std::uint32_t cache = v.dircache_blocks(d)[0];
             v.put32(cache, 16, cache);
             v.reseal_dircache(cache);
         }, tv::kDos0 + 5);
     }},
    {"dircache unreadable", [] {
         return damaged("du.adf", [](tv::Volume &v, std::uint32_t d, std::uint32_t) {
             v.put32(d, v.block_size() - 8, 5000);
             v.reseal_header(d);
         }, tv::kDos0 + 5);
     }},
    {"bitmap differences", [] {
         return damaged("bd.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) {
             v.set_disk_bit(f, false);
             v.set_disk_bit(1700, true);
         });
     }},
    {"bitmap block checksum", [] {
         return damaged("bc.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t) { v.put32(v.bitmap_blocks()[0], 8, 0); });
     }},
    {"bitmap pointer unreadable", [] {
         tv::Volume v;
         v.finish();
         v.put32(v.root(), v.block_size() - 196, 5000);
         v.reseal_header(v.root());
         return write_volume(v, "bu.adf");
     }, ReadOnly | WriteBitmap, O_RDWR},
    {"bitmap pointer to the root", [] {
         tv::Volume v;
         v.finish();
         v.put32(v.root(), v.block_size() - 196, v.root());
         v.reseal_header(v.root());
         return write_volume(v, "br.adf");
     }},
    {"bitmap extension blocks missing", [] { return with_bitmap_ext(0, "bm.adf"); }},
    {"bitmap extension unreadable", [] { return with_bitmap_ext(200000, "be.adf"); }},
    {"bitmap extension loop", [] { return with_bitmap_ext(UINT32_MAX, "bl.adf"); }},
    {"no root block", [] {
         std::string path = e2e::sparse_image("empty.adf", 1760 * 512);
         return path;
     }},
    {"unknown DOS type", [] {
         tv::VolumeSetup setup;
         setup.dos_type = 0x12345678;
         tv::Volume v(setup);
         v.finish();
         return write_volume(v, "dos.adf");
     }},
    {"a device that ends before its size", [] {
         tv::Volume v;
         v.add_dir(v.root(), "d");
         v.finish();
         // a header past the end of the file
         v.put32(v.lookup("d"), tv::off::table_long(0), 1760);
         v.reseal_header(v.lookup("d"));
         return write_volume(v, "short.adf");
     }, ReadOnly, O_RDONLY, 1761 * 512},
    {"a device that is a directory", [] {
         std::string path = e2e::temp_path("folder");
         mkdir(path.c_str(), 0700);
         return path;
     }},
    {"a device that is a pipe", [] { return std::string("pipe"); }, ReadOnly, O_RDONLY, 1760 * 512},
    {"a header in a reserved block", [] {
         tv::Volume v;
         v.add_dir(v.root(), "d");
         v.finish();
         v.put32(v.lookup("d"), tv::off::table_long(0), 1);
         v.reseal_header(v.lookup("d"));
         return write_volume(v, "res.adf");
     }},
    {"writes that fail", [] {
         return damaged("w.adf", [](tv::Volume &, std::uint32_t, std::uint32_t) {});
     }, WriteBitmap, O_RDONLY},
    {"refused writes", [] {
         return damaged("rw.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t f) { v.put32(f, tv::off::high_seq, 9); });
     }, WriteBitmap, O_RDWR},
    {"refused bitmap", [] {
         return damaged("rb.adf", [](tv::Volume &v, std::uint32_t, std::uint32_t) { v.put32(v.bitmap_blocks()[0], 8, 0); });
     }, WriteBitmap, O_RDWR},
    {"a wrong reserved count", [] {
         tv::Volume v;
         for (int i = 0; i < 20; ++i)
             v.add_file(v.root(), e2e::numbered("f", std::uint64_t(i)), 2000);
         v.finish();
         return write_volume(v, "r3.adf");
     }, WriteBitmap, O_RDWR, 0, 3},
    {"a partition table where no volume is", [] {
         std::string path = e2e::sparse_image("table.hdf", 1 << 20);
         std::uint8_t rdsk[512] = {'R', 'D', 'S', 'K', 0, 0, 0, 64};
         put_long(rdsk, 28, 0xFFFFFFFF);
         std::uint32_t sum = 0;
         for (int i = 0; i < 128; ++i)
             sum += std::uint32_t(rdsk[4 * i]) << 24 | rdsk[4 * i + 1] << 16 | rdsk[4 * i + 2] << 8 | rdsk[4 * i + 3];
         put_long(rdsk, 8, 0u - sum);
         int fd = open(path.c_str(), O_WRONLY);
         EXPECT_EQ(pwrite(fd, rdsk, 512, 0), 512);
         close(fd);
         return path;
     }},
};

// The entries that only the system can raise: memory that runs out, a write
// that the device takes only in part, a flush that fails (the safe-write
// tests inject that one into the real programs).
const std::set<Problem> raised_by_the_system = {Problem::MapMemory, Problem::VisitedMemory, Problem::LevelMemory,
                                                Problem::WriteShort, Problem::FlushError};

int run_case(const Case &c, Reporter &to, std::string &out)
{
    std::string path = c.image();
    int fd = -1, other = -1;
    if (path == "pipe") {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        fd = ends[0];
        other = ends[1];
    } else {
        fd = open(path.c_str(), c.open_flags);
    }
    EXPECT_GE(fd, 0) << path;
    struct stat status;
    fstat(fd, &status);
    RunOptions options;
    options.fd = fd;
    options.device_bytes = c.device_bytes ? c.device_bytes : std::uint64_t(status.st_size);
    options.options = c.options;
    options.reserved_blocks = c.reserved;
    options.verbosity = 2;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    int result = run_check(options, to);
    std::fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    release_session();
    close(fd);
    if (other >= 0)
        close(other);
    return result;
}

TEST(Catalogue, CodesAreUniqueAndTextsEndAsTheirStyleWants)
{
    std::set<std::string> codes;
    for (std::size_t i = 0; i < problem_count; ++i) {
        const ProblemInfo &info = problem_info(Problem(i));
        EXPECT_TRUE(codes.insert(info.code).second) << info.code;
        std::string text = info.text;
        if (info.style == Style::Detail)
            EXPECT_EQ(text.back(), ' ') << info.code;
        else
            EXPECT_EQ(text.back(), '\n') << info.code;
        // every conversion of the text has its value
        std::size_t conversions = 0;
        for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1))
            conversions += 1;
        EXPECT_EQ(conversions, std::strlen(info.args)) << info.code;
    }
}

// Every entry has its repair, or the decision that it is only reported:
// damage to the tree (an entry that hides blocks or an inconsistency) is
// always repaired, and a repair says what it does.
TEST(Catalogue, EveryDamageOfTheTreeHasARepair)
{
    for (std::size_t i = 0; i < problem_count; ++i) {
        const ProblemInfo &info = problem_info(Problem(i));
        const RepairRule &rule = repair_rule(Problem(i));
        EXPECT_GT(std::strlen(rule.action), 10u) << info.code;
        bool damage = info.effect == Effect::HidesBlocks || info.effect == Effect::Inconsistency;
        bool not_damage = info.effect == Effect::Operational || info.effect == Effect::Refusal;
        EXPECT_TRUE(!damage || rule.kind != RepairClass::ReportOnly) << info.code;
        EXPECT_TRUE(!not_damage || rule.kind == RepairClass::ReportOnly) << info.code;
    }
}

// Every entry is raised by one of the cases, and the checks print nothing
// that does not go through the catalogue and the reporter.
TEST(Catalogue, EveryEntryIsRaisedAndNothingElseIsPrinted)
{
    std::set<Problem> raised;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CountingReporter counting;
        std::uint64_t stray = stray_lines;
        std::string out;
        run_case(c, counting, out);
        EXPECT_EQ(stray_lines, stray) << "printed outside the catalogue";
        EXPECT_EQ(out, "") << "the walk printed beside its reporter";
        raised.insert(counting.raised.begin(), counting.raised.end());
    }
    // the guards of every write, which the check's own writes never meet
    std::memset(&volume, 0, sizeof volume);
    CountingReporter guards;
    begin_report(guards);
    volume.block_size = 512, volume.block_shift = 9, volume.reserved_blocks = 2, volume.total_blocks = 10;
    std::uint8_t block[512] = {};
    EXPECT_EQ(write_block(block, 1), 1);
    EXPECT_EQ(write_block(block, 10), 1);
    raised.insert(guards.raised.begin(), guards.raised.end());
    reset_report();
    for (std::size_t i = 0; i < problem_count; ++i) {
        Problem p = Problem(i);
        if (!raised_by_the_system.count(p)) {
            EXPECT_TRUE(raised.count(p)) << problem_info(p).code << " is raised by no case";
        }
    }
}

// The text reporter's output is the walk's; the walk is the same whether
// the text is made or not: a reporter that prints nothing gives the same
// status, tallies and work map.
TEST(Catalogue, TheWalkDoesNotDependOnTheText)
{
    for (const Case &c : cases) {
        if (c.options & WriteBitmap)
            continue;
        SCOPED_TRACE(c.name);
        NullReporter null;
        TextReporter text(2);
        std::string out_null, out_text;
        int with_null = run_case(c, null, out_null);
        Tallies null_tallies = tallies();
        int with_text = run_case(c, text, out_text);
        EXPECT_EQ(with_null, with_text);
        EXPECT_EQ(out_null, "");
        EXPECT_EQ(std::memcmp(&null_tallies, &tallies(), sizeof null_tallies), 0);
    }
}

// The traces of data blocks are made from the last one where the blocks
// follow each other; the text is printf's all the same, across a change of
// digit, of length, of the word that holds the last digit, the wrap from
// 2^32 - 1 to 0, a full buffer and the other notes between runs.
TEST(Catalogue, TracesOfDataBlocksAreTheTextOfPrintf)
{
    auto run = [](std::uint32_t from, std::uint32_t count) {
        std::vector<std::uint32_t> blocks;
        for (std::uint32_t k = 0; k < count; ++k)
            blocks.push_back(from + k);  // (wraps past 2^32 - 1)
        return blocks;
    };
    std::vector<std::vector<std::uint32_t>> runs = {
        run(0, 130),         run(990, 30),          run(9985, 40),        run(99990, 20),
        run(999990, 30),     run(1000090, 30),      run(9999990, 20),     run(99999980, 30),
        run(999999980, 30),  run(4294967280u, 20),  {5, 7, 6, 6, 19, 9},  run(1234567, 3000),
        {4294967295u, 0},    run(89, 2),            run(109, 2),          run(18, 100)};
    TextReporter text(2);
    std::string expect;
    char one[16];
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::vector<std::uint32_t> &blocks = runs[r];
        // the table holds a run's pointers from the last one back to the first
        std::vector<std::uint8_t> table(4 * blocks.size());
        for (std::size_t k = 0; k < blocks.size(); ++k)
            put_long(table.data(), std::uint32_t(4 * (blocks.size() - 1 - k)), blocks[k]);
        text.data_blocks(table.data(), std::uint32_t(blocks.size()));
        for (std::uint32_t b : blocks)
            expect += std::string(one, std::size_t(std::snprintf(one, sizeof one, " [%u]", b)));
        // a trace of another kind, or the end of the file's traces
        std::uint32_t other = blocks.back() + 1;
        if (r % 2 == 0) {
            text.blocks({BlockKind::Dircache, BlockAction::Trace, other, 0, false});
            expect += " [" + std::to_string(other) + "]";
        } else {
            text.blocks({BlockKind::Data, BlockAction::TraceEnd, 0, 0, false});
            expect += "\n";
        }
    }
    text.flush();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expect);
}

// Findings and entries name their entry's path from the root.
TEST(Catalogue, PathsOfEntries)
{
    tv::Volume v;
    std::uint32_t work = v.add_dir(v.root(), "Work");
    std::uint32_t src = v.add_dir(work, "src");
    std::uint32_t main_c = v.add_file(src, "main.c", 512 * 80);
    v.add_file(v.root(), "top", 10);
    v.finish();
    v.put32(main_c, tv::off::high_seq, 70);  // a wrong block count
    v.reseal_header(main_c);
    std::uint32_t ext = v.ext_blocks(main_c)[0];
    v.put32(ext, tv::off::header_key, 4);  // a wrong key in its extension block
    v.reseal_header(ext);
    std::string path = write_volume(v, "paths.adf");
    Case c{"paths", [&] { return path; }};
    CountingReporter counting;
    std::string out;
    run_case(c, counting, out);
    EXPECT_EQ(counting.paths, (std::vector<std::string>{"file-block-count Work/src/main.c",
                                                        "extension-key Work/src/main.c"}));
    std::set<std::string> listed(counting.listed.begin(), counting.listed.end());
    EXPECT_EQ(listed, (std::set<std::string>{"Work", "Work/src", "Work/src/main.c", "top"}));
    (void)work;
    (void)src;
}

}  // namespace
