// The reports for scripts and people: fsck(8)'s exit statuses under both
// names and every mode, the fsck.affs front end (and fsck(8) itself running
// it), the JSON writer, progress lines on a pipe, the bar on a terminal, and
// cancelling.
#include "e2e.h"
#include "outcome.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <sys/stat.h>

namespace {

using Outcome = e2e::Run;

enum class Kind { Clean, Bitmap, Tree, Many };

// Floppies: sound; five wrong bits; a bad header checksum; 120 small files
// (for runs slowed down by the fault shim).
std::string image(Kind kind)
{
    tv::VolumeSetup setup;
    setup.name = "Work";
    tv::Volume v(setup);
    std::uint32_t dir = v.add_dir(v.root(), "Work");
    std::uint32_t file = v.add_file(dir, "a", 1000);
    if (kind == Kind::Many)
        for (int i = 0; i < 120; ++i)
            v.add_file(dir, e2e::numbered("f", std::uint64_t(i)), 100);
    v.finish();
    if (kind == Kind::Bitmap) {
        v.set_disk_bit(file, false);
        for (std::uint32_t b = 1700; b < 1704; ++b)
            v.set_disk_bit(b, true);
    }
    if (kind == Kind::Tree)
        v.put32(file, 8, 7);
    std::string path = e2e::temp_path("report.adf");
    v.write(path);
    return path;
}

Outcome fsck_affs(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    return e2e::run(FSCK_AFFS_PATH, args, env);
}

Outcome vistrel(const std::vector<std::string> &args) { return e2e::run(VISTREL_PATH, args); }

// A table of runs: the volume, the program, its options, the status, and
// the status of a second run with the same options on what the first left
// (-1: none).
struct StatusCase {
    Kind kind;
    bool fsck;
    std::vector<std::string> options;
    int status;
    int again;
};

TEST(ExitStatus, EveryModeOnEveryVolume)
{
    const StatusCase cases[] = {
        {Kind::Clean, true, {"-n"}, 0, -1},
        {Kind::Clean, true, {"-p"}, 0, -1},
        {Kind::Clean, true, {"-y"}, 0, -1},
        {Kind::Clean, true, {}, 0, -1},
        {Kind::Clean, false, {"--exit-codes"}, 0, -1},
        {Kind::Clean, false, {"--exit-codes", "-w"}, 0, -1},
        {Kind::Bitmap, false, {}, 0, 0},  // vistrel's own status
        {Kind::Bitmap, false, {"--exit-codes", "-n"}, 4, 4},
        {Kind::Bitmap, true, {"-n"}, 4, 4},
        {Kind::Bitmap, true, {}, 4, 4},  // no terminal: only a check
        {Kind::Bitmap, true, {"-p"}, 1, 0},  // the two-run rule
        {Kind::Bitmap, true, {"-a"}, 1, 0},
        {Kind::Bitmap, true, {"-y", "-f"}, 1, 0},
        {Kind::Bitmap, false, {"--exit-codes", "-w"}, 1, 0},
        {Kind::Tree, true, {"-n"}, 4, 4},
        {Kind::Tree, true, {"-p"}, 1, 0},  // the bad checksum is resealed: a safe repair
        {Kind::Tree, true, {"-y"}, 1, 0},
        {Kind::Tree, false, {"-w"}, 1, 1},
        {Kind::Tree, false, {"--exit-codes", "-w"}, 4, 4},
        // forced over the hidden blocks: the bitmap is repaired, the tree not
        {Kind::Tree, false, {"--exit-codes", "-w", "-f"}, 5, 4},
    };
    for (const StatusCase &c : cases) {
        std::string path = image(c.kind);
        std::vector<std::string> args = c.options;
        args.push_back(path);
        SCOPED_TRACE((c.fsck ? "fsck.affs" : "vistrel") + std::string(" kind ") + std::to_string(int(c.kind)) +
                     " " + (c.options.empty() ? "" : c.options[0]) + (c.options.size() > 1 ? " " + c.options[1] : ""));
        Outcome first = c.fsck ? fsck_affs(args) : vistrel(args);
        EXPECT_EQ(first.status, c.status) << first.out << first.err;
        if (c.again >= 0) {
            Outcome second = c.fsck ? fsck_affs(args) : vistrel(args);
            EXPECT_EQ(second.status, c.again) << second.out << second.err;
        }
    }
}

TEST(ExitStatus, CheckOnlyModesLeaveTheImage)
{
    for (const std::vector<std::string> &options : {std::vector<std::string>{"-n"}, std::vector<std::string>{}}) {
        std::string path = image(Kind::Bitmap);
        std::vector<std::uint8_t> before = e2e::read_file(path);
        std::vector<std::string> args = options;
        args.push_back(path);
        EXPECT_EQ(fsck_affs(args).status, 4);
        EXPECT_EQ(e2e::read_file(path), before);
    }
}

TEST(ExitStatus, OperationalAndUsageErrors)
{
    std::string missing = e2e::temp_path("missing.adf");
    std::string zeros = e2e::sparse_image("zeros.adf", 901120);
    std::string sound = image(Kind::Clean);
    struct {
        bool fsck;
        std::vector<std::string> args;
        int status;
    } const cases[] = {
        {true, {"-n", missing}, 8},
        {true, {"-p", zeros}, 8},
        {false, {"--exit-codes", missing}, 8},
        {false, {"--exit-codes", zeros}, 8},
        {false, {missing}, 1},
        {true, {"-n", "-p", sound}, 16},
        {true, {"-y", "-a", sound}, 16},
        {true, {"--bogus", sound}, 16},
        {true, {}, 16},
        {true, {"-C", "x", sound}, 16},
        {true, {"-b", "99999999999", sound}, 16},
        {false, {"--exit-codes", "--bogus", sound}, 16},
        {false, {"--exit-codes", "-b", "99999999999", sound}, 16},
        {false, {"--bogus", sound}, 64},
        {true, {"-n", "-f", "-v", "--partition", "1", sound}, 8},  // no partition table
    };
    for (const auto &c : cases) {
        Outcome r = c.fsck ? fsck_affs(c.args) : vistrel(c.args);
        EXPECT_EQ(r.status, c.status) << (c.fsck ? "fsck.affs" : "vistrel") << " " << c.args[0] << "\n"
                                      << r.out << r.err;
    }
}

// a read error in the middle of the walk is an operational error, whatever
// else the run found
TEST(ExitStatus, ReadErrorInTheWalk)
{
    std::string path = image(Kind::Many);
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "FAULT_PREAD=eio:40"};
    Outcome r = fsck_affs({"-n", path}, env);
    EXPECT_EQ(r.status, 8) << r.out;
    EXPECT_NE(r.out.find("unable to read block"), std::string::npos) << r.out;
    Outcome json = fsck_affs({"--json", "-p", path}, env);
    EXPECT_EQ(json.status, 8) << json.out;
    EXPECT_NE(json.out.find("\"code\":\"read-error\",\"effect\":\"operational\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"reason\":\"refused\""), std::string::npos) << json.out;
    EXPECT_EQ(vistrel({path}).status, 0);  // the image itself is sound
}

TEST(Fsck, RunsTheCheckerByItsType)
{
    const char *fsck = "/sbin/fsck";
    struct stat st;
    if (stat(fsck, &st) != 0)
        GTEST_SKIP() << "util-linux's fsck is not installed";
    std::string folder = FSCK_AFFS_PATH;
    folder.resize(folder.rfind('/'));
    const char *path = std::getenv("PATH");
    std::vector<std::string> env = {"PATH=" + folder + ":" + (path ? path : "/usr/bin:/bin")};
    std::string damaged = image(Kind::Bitmap);
    Outcome check = e2e::run(fsck, {"-t", "affs", "-n", damaged}, env);
    EXPECT_EQ(check.status, 4) << check.out << check.err;
    EXPECT_NE(check.out.find("bitmap: 5 blocks wrong"), std::string::npos) << check.out;
    Outcome repair = e2e::run(fsck, {"-t", "affs", "-p", damaged}, env);
    EXPECT_EQ(repair.status, 1) << repair.out << repair.err;
    EXPECT_EQ(e2e::run(fsck, {"-t", "affs", "-p", damaged}, env).status, 0);
}

TEST(Fsck, SummaryAndPaths)
{
    Outcome r = fsck_affs({"-n", image(Kind::Tree)});
    EXPECT_EQ(r.out, "detected a fast amiga filesystem\n"
                     "vistrel: in Work: dir entry 883 has invalid checksum (5)\n"
                     "vistrel: -p would repair: Work/a: checksum of header 883 resealed\n"
                     "vistrel: -p would repair: Work/a: block count of block 883 set to 2 (was 7)\n"
                     "Work: fast amiga filesystem (DOS\\1), blocks of 512 bytes\n"
                     "Work: 5/1760 blocks used, 0 files, 1 directories, 0 links\n"
                     "Work: problems: 1 hides-blocks, 0 bitmap-error, 3 bitmap-difference, 0 inconsistency, "
                     "0 operational, 0 refusal\n"
                     "Work: bitmap: 3 blocks wrong: 883-885\n"
                     "Work: repaired: nothing (check only)\n");
}

TEST(Json, EscapesEveryByte)
{
    std::string out;
    json_string(out, "a\"\\\n\t\x01\x1f\x7f\xe9\xff", 10);
    EXPECT_EQ(out, "\"a\\\"\\\\\\n\\t\\u0001\\u001f\\u007f\xc3\xa9\xc3\xbf\"");
    // every byte, read back by a JSON parser as its ISO-8859-1 character
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += char(c);
    std::string document;
    json_string(document, all);
    std::string file = e2e::temp_path("bytes.json");
    FILE *f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(document.data(), 1, document.size(), f);
    std::fclose(f);
    Outcome parse = e2e::run("/usr/bin/python3",
                         {"-c",
                          "import json,sys; t=json.load(open(sys.argv[1],encoding='utf-8')); "
                          "sys.exit(0 if t == bytes(range(256)).decode('latin-1') else 1)",
                          file});
    EXPECT_EQ(parse.status, 0) << parse.err;
}

TEST(Json, RangesTalliesAndStatus)
{
    std::string path = image(Kind::Bitmap);
    Outcome r = fsck_affs({"--json", "-p", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    for (const char *piece : {"\"code\":\"bitmap-used-free\"",
                              "\"message\":\"blocks 1700 to 1703 marked in use but unused\"",
                              "\"count\":4", "\"bitmap-difference\":5", "\"action\":\"write-bitmap\",\"done\":true",
                              "\"exit_status\":1", "\"name\":\"Work\"", "\"files\":1"})
        EXPECT_NE(r.out.find(piece), std::string::npos) << piece << "\n" << r.out;
    // a device that cannot be opened: its message to standard error, the document intact
    Outcome missing = vistrel({"--json", "--exit-codes", e2e::temp_path("none.adf")});
    EXPECT_EQ(missing.status, 8);
    EXPECT_NE(missing.err, "");
    EXPECT_EQ(missing.out.rfind("{\"version\":1,", 0), 0u) << missing.out;
    EXPECT_NE(missing.out.find("\"volume\":null"), std::string::npos);
}

TEST(Progress, BarText)
{
    EXPECT_EQ(progress_bar(512, 1024, 65.0, 60), "[##############--------------]  50.0% 512/1024 blocks 01:05");
    EXPECT_EQ(progress_bar(512, 1024, 65.0, 200).size(), 50u + 2 + 29);  // the bar stays within 50 columns
    EXPECT_EQ(progress_bar(2000, 1024, 1.0, 40), "[#######] 100.0% 1024/1024 blocks 00:01");
}

// lines "PASS CURRENT MAX DEVICE": pass 1, counts up to MAX, the last one done
TEST(Progress, LinesOnAPipe)
{
    std::string path = image(Kind::Many);
    auto start = std::chrono::steady_clock::now();
    Outcome r = fsck_affs({"-n", "-C", "2", path}, {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "SLOW_PREAD=10"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream lines(r.err);
    std::string line;
    std::uint64_t count = 0, last = 0, max = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::uint64_t pass = 0, done = 0;
        std::string device;
        ASSERT_TRUE(words >> pass >> done >> max >> device) << line;
        EXPECT_EQ(pass, 1u);
        EXPECT_EQ(device, path);
        EXPECT_GE(done, last);
        EXPECT_LE(done, max);
        last = done;
        count += 1;
    }
    EXPECT_GE(count, 3u) << "a run of " << seconds << " s";
    EXPECT_LE(double(count), seconds * 10 + 2) << "more than ten lines a second";
    EXPECT_EQ(last, max);
}

bool have_script()
{
    struct stat st;
    return stat("/usr/bin/script", &st) == 0;
}

// The bar under a pseudo-terminal: drawn once the run lasts a second, erased
// at the end; -q draws none, and neither does a pipe.
TEST(Progress, BarOnATerminal)
{
    if (!have_script())
        GTEST_SKIP() << "script (util-linux) is not installed";
    std::string path = image(Kind::Many);
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "SLOW_PREAD=15"};
    std::string program = FSCK_AFFS_PATH;
    Outcome shown = e2e::run("/usr/bin/script", {"-qec", program + " -n " + path, "/dev/null"}, env);
    EXPECT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("\r[#"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find(" blocks 00:0"), std::string::npos);
    std::size_t erase = shown.out.rfind("\r\033[K");
    ASSERT_NE(erase, std::string::npos);
    EXPECT_EQ(shown.out.find('[', erase + 3), std::string::npos) << "the bar is left on the screen";
    Outcome quiet = e2e::run("/usr/bin/script", {"-qec", program + " -q -n " + path, "/dev/null"}, env);
    EXPECT_EQ(quiet.out.find("\r["), std::string::npos);
    Outcome piped = fsck_affs({"-n", path}, env);
    EXPECT_EQ(piped.err.find('\r'), std::string::npos);
}

// fsck.affs without a mode on a terminal lists the problems and asks once
TEST(Fsck, AsksOnATerminal)
{
    if (!have_script())
        GTEST_SKIP() << "script (util-linux) is not installed";
    for (const char *answer : {"n", "y"}) {
        std::string path = image(Kind::Bitmap);
        std::vector<std::uint8_t> before = e2e::read_file(path);
        std::string command = std::string("printf '") + answer + "\\n' | /usr/bin/script -qec '" + FSCK_AFFS_PATH +
                              " " + path + "' /dev/null";
        Outcome r = e2e::run("/bin/sh", {"-c", command});
        EXPECT_NE(r.out.find("  the bitmap is wrong for 5 blocks"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Rebuild the bitmap and mark it valid? [y/N]"), std::string::npos) << r.out;
        if (*answer == 'n') {
            EXPECT_EQ(r.status, 4) << r.out;
            EXPECT_EQ(e2e::read_file(path), before);
        } else {
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_EQ(fsck_affs({"-n", path}).status, 0);
        }
    }
}

// SIGINT before any write ends at once; during the writes the plan stops at
// its next write and leaves the volume marked not valid, never half written
// and marked valid.
TEST(Cancel, InterruptedRuns)
{
    std::string path = image(Kind::Many);
    Outcome reading = e2e::run("/usr/bin/timeout",
                               {"--preserve-status", "-s", "INT", "0.5", FSCK_AFFS_PATH, "-n", path},
                               {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "SLOW_PREAD=20"});
    EXPECT_EQ(reading.status, 32) << reading.out << reading.err;

    std::string damaged = image(Kind::Bitmap);
    std::vector<std::uint8_t> before = e2e::read_file(damaged);
    Outcome writing = e2e::run("/usr/bin/timeout",
                               {"--preserve-status", "-s", "TERM", "0.8", FSCK_AFFS_PATH, "-y", damaged},
                               {std::string("LD_PRELOAD=") + FAULT_SHIM_PATH, "SLOW_PWRITE=1500"});
    EXPECT_EQ(writing.status, 32) << writing.out << writing.err;
    std::vector<std::uint8_t> after = e2e::read_file(damaged);
    // the root block went out with its flag cleared; the bitmap block did not
    EXPECT_EQ(e2e::read_be32(damaged, 880 * 512 + 512 - 200), 0u);
    EXPECT_TRUE(std::equal(before.begin() + 881 * 512, before.begin() + 882 * 512, after.begin() + 881 * 512));
    Outcome next = fsck_affs({"-p", damaged});
    EXPECT_EQ(next.status, 1) << next.out;
    EXPECT_EQ(fsck_affs({"-n", damaged}).status, 0);
}

}  // namespace
