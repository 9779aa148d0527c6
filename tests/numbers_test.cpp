// The numbers of -b, -s and -r: one reading for both programs.  A number that
// does not fit in 32 bits is refused before the device is opened; one that
// fits keeps its low 32 bits and meets the option's own tests.
#include "e2e.h"
#include "volume.h"

#include <gtest/gtest.h>

#include <argp.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(Numbers, ReadingAndRange)
{
    const struct {
        const char *text;
        int result;
        std::int64_t value;  // when accepted
    } cases[] = {
        {"0", 0, 0},
        {"880", 0, 880},
        {"  +42", 0, 42},
        {"3xyz", 0, 3},  // text after the digits is ignored
        {"abc", 0, 0},   // no number at all reads as 0
        {"", 0, 0},
        {"-5", 0, -5},
        {"4294967295", 0, 4294967295},
        {"-2147483648", 0, -2147483648},
        {"4294967296", 1, 0},
        {"4294968320", 1, 0},
        {"-2147483649", 1, 0},
        {"99999999999999999999", 1, 0},  // past what strtol can hold
        {"-99999999999999999999", 1, 0},
        {"9223372036854775807", 1, 0},
        {"4294967296xyz", 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::int64_t value = 77;
        testing::internal::CaptureStdout();
        int result = parse_number(c.text, value);
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result);
        if (c.result == 0) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(value, 77);  // untouched
            EXPECT_EQ(out, std::string("vistrel: number '") + c.text + "' does not fit in 32 bits\n");
        }
    }
}

// The options both programs read alike: what each takes into the session or
// the shared options, what it leaves to the program, and what it refuses.
TEST(Numbers, SharedOptions)
{
    const struct {
        int key;
        const char *arg;
        int result;
        std::int64_t value;  // 77 when no number is read
        const char *out;
    } cases[] = {
        {'v', nullptr, 0, 77, ""},
        {'r', "5", 0, 5, ""},
        {'r', "0", 0, 0, ""},  // the checker refuses it on its own
        {'r', "4294967296", 1, 77, "vistrel: number '4294967296' does not fit in 32 bits\n"},
        {'b', "-1", 2, -1, ""},
        {'s', "1024", 2, 1024, ""},
        {'s', "1000", 1, 1000, "vistrel: invalid block size 1000\n"},
        {'s', "4294967808", 1, 77, "vistrel: number '4294967808' does not fit in 32 bits\n"},
        {'z', "undo.file", 0, 77, ""},
        {'p', "Work", 0, 77, ""},
        {partitions_key, nullptr, 0, 77, ""},
        {'n', nullptr, 2, 77, ""},
        {'o', nullptr, 2, 77, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        RunOptions shared;
        std::int64_t value = 77;
        testing::internal::CaptureStdout();
        int result = take_shared_option(c.key, c.arg, value, shared);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(value, c.value);
        // only a taken option changes anything
        bool taken = result == 0;
        EXPECT_EQ(shared.verbosity, c.key == 'v' && taken ? 1 : 0);
        EXPECT_EQ(shared.reserved_blocks, c.key == 'r' && taken ? std::uint32_t(c.value) : 2u);
        EXPECT_EQ(shared.reserve_given, c.key == 'r' && taken);
        EXPECT_EQ(shared.undo_path, c.key == 'z' ? c.arg : nullptr);
        EXPECT_EQ(shared.partition, c.key == 'p' ? c.arg : nullptr);
        EXPECT_EQ(shared.list_partitions, c.key == partitions_key);
    }
}

std::vector<std::uint8_t> formatted_floppy(const std::string &path)
{
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, 901120), 0);
    close(fd);
    EXPECT_EQ(e2e::plandor({path, "Numbers"}).status, 0);
    return e2e::read_file(path);
}

TEST(Numbers, EveryProgramRefusesNumbersBeyond32Bits)
{
    const std::string image = e2e::temp_path("floppy.adf"), missing = e2e::temp_path("missing.adf");
    const std::vector<std::uint8_t> before = formatted_floppy(image);
    const char *const too_large[] = {
        "4294967296", "4294968320", "4294967298", "-2147483649", "99999999999999999999", "-99999999999999999999",
        "4294967296xyz",
    };
    for (const char *program : {"vistrel", "plandor"}) {
        for (const char *option : {"-b", "-s", "-r"}) {
            for (const char *number : too_large) {
                SCOPED_TRACE(std::string(program) + " " + option + " " + number);
                const std::string expected = std::string(program) + ": number '" + number + "' does not fit in 32 bits\n";
                const bool checker = program[0] == 'v';
                for (const std::string &device : {image, missing}) {
                    // a missing device shows that the refusal comes before the open
                    e2e::Run run = checker ? e2e::vistrel({option, number, device})
                                           : e2e::plandor({option, number, device, "Refused"});
                    EXPECT_EQ(run.status, 1);
                    EXPECT_EQ(run.out, expected);
                    EXPECT_EQ(run.err, "");
                }
                EXPECT_EQ(e2e::read_file(image), before);
                EXPECT_FALSE(e2e::exists(missing));
            }
        }
    }
}

TEST(Numbers, NumbersWithin32BitsKeepTheirMeaning)
{
    const std::string image = e2e::temp_path("floppy.adf");
    const std::vector<std::uint8_t> before = formatted_floppy(image);
    const struct {
        std::vector<std::string> args;  // IMG stands for the image
        std::string out;
        bool plandor;
    } cases[] = {
        // -5 is 4294967291 reserved blocks
        {{"-r", "-5", "IMG", "N"}, "plandor: volume of 1760 blocks cannot hold 4294967291 reserved blocks and a root "
                                   "block\n", true},
        {{"-r", "-5", "IMG"}, "vistrel: unable to read block 880 (block is reserved)\n"
                              "vistrel: unable to find root block\n", false},
        {{"-b", "-5", "IMG", "N"}, "plandor: root block -5 is not within blocks 2 to 1759 of the volume\n", true},
        {{"-b", "-2147483648", "IMG", "N"},
         "plandor: root block -2147483648 is not within blocks 2 to 1759 of the volume\n", true},
        {{"-b", "4294967295", "IMG", "N"},
         "plandor: root block 4294967295 is not within blocks 2 to 1759 of the volume\n", true},
        // 2^32 - 1 is a valid 32-bit number, though no block size
        {{"-s", "4294967295", "IMG", "N"}, "plandor: invalid block size -1\n", true},
        {{"-s", "4294967295", "IMG"}, "vistrel: invalid block size -1\n", false},
        {{"-s", "-512", "IMG"}, "vistrel: invalid block size -512\n", false},
        {{"-r", "0", "IMG"}, "vistrel: at least 1 block must reserved\n", false},
        {{"-r", "0x10", "IMG"}, "vistrel: at least 1 block must reserved\n", false},  // decimal: 0, then text
        // text after the digits is ignored
        {{"-n", "-v", "-b", "880abc", "-s", "512.0", "-r", "2 blocks", "IMG"},
         "root block found at 880\ndetected a fast amiga filesystem\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        std::vector<std::string> args;
        // over the volume that the image already holds
        if (c.plandor)
            args.push_back("-f");
        for (const std::string &a : c.args)
            args.push_back(a == "IMG" ? image : a);
        e2e::Run run = c.plandor ? e2e::plandor(args) : e2e::vistrel(args);
        EXPECT_EQ(run.status, c.out.find(": ") == std::string::npos ? 0 : 1);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(e2e::read_file(image), before);
    }
}

// "--res" abbreviates --reserve, although --restore shares the prefix; the
// words that are arguments of other options, and those after "--", stay.
TEST(Numbers, ResIsReserve)
{
    const argp_option options[] = {
        {"reserve", 'r', "blocks", 0, "", 0}, {"restore", 0x100, "file", 0, "", 0},
        {"undo", 'z', "file", 0, "", 0},      {"write", 'w', nullptr, 0, "", 0},
        {"verbose", 'v', nullptr, 0, "", 0},  {},
    };
    const struct {
        std::vector<std::string> in, out;
    } cases[] = {
        {{"--res", "2", "IMG"}, {"--reserve", "2", "IMG"}},
        {{"--verb", "--res=3", "IMG"}, {"--verb", "--reserve=3", "IMG"}},
        {{"IMG", "--res", "2"}, {"IMG", "--reserve", "2"}},
        {{"--rest=u", "--rese", "2", "--restore", "--res"}, {"--rest=u", "--rese", "2", "--restore", "--res"}},
        {{"-z", "--res", "--res", "4"}, {"-z", "--res", "--reserve", "4"}},
        {{"-wz", "--res", "-vz--res", "--res", "4"}, {"-wz", "--res", "-vz--res", "--reserve", "4"}},
        {{"--undo", "--res", "--un=--res", "--res", "1"}, {"--undo", "--res", "--un=--res", "--reserve", "1"}},
        {{"--", "--res", "2"}, {"--", "--res", "2"}},
        {{"-", "--res", "2"}, {"-", "--reserve", "2"}},
        {{"--resx", "--re", "--r"}, {"--resx", "--re", "--r"}},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv{const_cast<char *>("vistrel")};
        for (const std::string &word : c.in)
            argv.push_back(const_cast<char *>(word.c_str()));
        prefer_long_option(int(argv.size()), argv.data(), options, "res", "reserve");
        std::vector<std::string> out(argv.begin() + 1, argv.end());
        EXPECT_EQ(out, c.out) << c.in[0] << " " << c.in[1];
    }
    // the real checker: --res sets the reserved blocks, --restore still restores
    const std::string image = e2e::temp_path("res.adf");
    formatted_floppy(image);
    e2e::Run reserve = e2e::vistrel({"--verb", "--res", "2", image});
    EXPECT_EQ(reserve.status, 0);
    EXPECT_EQ(reserve.out, "root block found at 880\ndetected a fast amiga filesystem\n");
    e2e::Run zero = e2e::vistrel({"--res=0", image});
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.out, "vistrel: at least 1 block must reserved\n");
    const std::string missing = e2e::temp_path("missing.undo");
    e2e::Run restore = e2e::vistrel({"--rest", missing, image});
    EXPECT_EQ(restore.status, 1);
    EXPECT_EQ(restore.out, "vistrel: unable to read undo file '" + missing + "' (No such file or directory)\n");
}

}  // namespace
