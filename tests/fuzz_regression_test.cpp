// Every input that the fuzz targets found, replayed through the real
// programs: each must end with status 0 or 1, never by a signal.  The inputs
// live in tests/fuzz-regressions/<target>/, each with a .txt that says what
// it broke; their encoding is the fuzz targets' own (fuzz/fuzz_input.h).
#include "../fuzz/fuzz_input.h"
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// FUZZ_INPUTS=DIR runs the cases over DIR/<target>/ instead, for instance
// over a whole corpus with REFERENCE_VISTREL set (see e2e.h)
std::vector<fs::path> inputs(const std::string &target)
{
    std::vector<fs::path> found;
    const char *other = std::getenv("FUZZ_INPUTS");
    fs::path dir = (other ? fs::path(other) : fs::path(SOURCE_DIR) / "tests" / "fuzz-regressions") / target;
    if (fs::is_directory(dir))
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.is_regular_file() && entry.path().extension() != ".txt")
                found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

// An input of random bytes may hold a volume the checker reads to the end
// (status 0, whatever damage it reports) or one it must give up on early (no
// root block, an unknown DOS type, a damaged partition table: status 1).  Both
// are right; what each input must never do is end by a signal or another status.
void expect_clean_end(const e2e::Run &run, const std::string &what)
{
    EXPECT_TRUE(run.status == 0 || run.status == 1) << what << ": status " << run.status << "\n" << run.out;
}

std::string copy_of(const std::string &image, const std::string &name)
{
    std::string copy = e2e::temp_path(name);
    fs::copy_file(image, copy);
    return copy;
}

TEST(FuzzRegression, EveryInputHasItsNote)
{
    for (const char *target : {"check_fuzzer", "format_fuzzer", "repair_fuzzer"})
        for (const fs::path &input : inputs(target))
            EXPECT_TRUE(fs::exists(input.string() + ".txt")) << input << " has no .txt saying what it broke";
}

TEST(FuzzRegression, CheckInputsEndCleanly)
{
    for (const fs::path &input : inputs("check_fuzzer")) {
        SCOPED_TRACE(input.filename().string());
        std::vector<std::uint8_t> bytes = e2e::read_file(input.string());
        fuzz_input::CheckInput in;
        ASSERT_TRUE(fuzz_input::parse_check_input(bytes.data(), bytes.size(), in));
        std::string image = e2e::sparse_image("check.img", in.sectors * 512);
        int fd = open(image.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(fuzz_input::write_check_records(fd, in));
        close(fd);

        std::vector<std::string> options = fuzz_input::check_options(in);
        auto with = [&](std::vector<std::string> extra, const std::string &device) {
            std::vector<std::string> args = options;
            args.insert(args.end(), extra.begin(), extra.end());
            args.push_back(device);
            return args;
        };
        std::vector<std::string> own;
        if (in.readonly)
            own.push_back("-n");
        if (in.write)
            own.push_back("-w");
        if (in.clear)
            own.push_back("-c");
        expect_clean_end(e2e::vistrel(with(own, copy_of(image, "own.img"))), "its own options");
        expect_clean_end(e2e::vistrel(with({"-w"}, copy_of(image, "write.img"))), "-w");
        std::vector<std::uint8_t> before = e2e::read_file(image);
        expect_clean_end(e2e::vistrel(with({"-n"}, image)), "-n");
        EXPECT_TRUE(e2e::read_file(image) == before) << "-n changed the image";
        // the partition table, if the image holds one, as the fuzz target reads it
        expect_clean_end(e2e::vistrel({"--partitions", image}), "--partitions");
        for (const char *which : {"1", "2", "3", "4"})
            expect_clean_end(e2e::vistrel(with({"-n", "-p", which}, image)), std::string("-p ") + which);
        EXPECT_TRUE(e2e::read_file(image) == before) << "-p -n changed the image";
    }
}

// The repair's inputs, and the check's: --repair twice, and -n --repair,
// which leaves the image as it was.
TEST(FuzzRegression, RepairInputsEndCleanly)
{
    std::vector<fs::path> all = inputs("repair_fuzzer");
    for (const fs::path &input : inputs("check_fuzzer"))
        all.push_back(input);
    for (const fs::path &input : all) {
        SCOPED_TRACE(input.filename().string());
        std::vector<std::uint8_t> bytes = e2e::read_file(input.string());
        fuzz_input::CheckInput in;
        ASSERT_TRUE(fuzz_input::parse_check_input(bytes.data(), bytes.size(), in));
        std::string image = e2e::sparse_image("repair.img", in.sectors * 512);
        int fd = open(image.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(fuzz_input::write_check_records(fd, in));
        close(fd);
        std::vector<std::string> args = fuzz_input::check_options(in);
        args.push_back("--repair");
        std::vector<std::string> told = args;
        told.insert(told.begin(), "-n");
        told.push_back(image);
        std::vector<std::uint8_t> before = e2e::read_file(image);
        expect_clean_end(e2e::vistrel(told), "-n --repair");
        EXPECT_TRUE(e2e::read_file(image) == before) << "-n --repair changed the image";
        args.push_back(image);
        expect_clean_end(e2e::vistrel(args), "--repair");
        expect_clean_end(e2e::vistrel(args), "--repair, again");
    }
}

TEST(FuzzRegression, FormatInputsEndCleanly)
{
    for (const fs::path &input : inputs("format_fuzzer")) {
        SCOPED_TRACE(input.filename().string());
        std::vector<std::uint8_t> bytes = e2e::read_file(input.string());
        fuzz_input::FormatInput in;
        ASSERT_TRUE(fuzz_input::parse_format_input(bytes.data(), bytes.size(), in));
        std::string image = e2e::sparse_image("format.img", in.bytes);
        std::vector<std::string> args = fuzz_input::format_options(in);
        args.insert(args.end(), {image, in.name});
        e2e::Run formatted = e2e::plandor(args);
        expect_clean_end(formatted, "plandor");
        if (formatted.status != 0)
            continue;
        // the checker, told where the root is, on what was made
        std::size_t at = formatted.out.find("rootblock: ");
        ASSERT_NE(at, std::string::npos) << formatted.out;
        std::string root = std::to_string(std::stoul(formatted.out.substr(at + 11)));
        std::string reserved = std::to_string(std::max<std::uint32_t>(in.reserved, 1));
        // a volume just made is read to its end
        e2e::Run checked =
            e2e::vistrel({"-n", "-v", "-s", std::to_string(in.block_size), "-r", reserved, "-b", root, image});
        EXPECT_EQ(checked.status, 0) << "vistrel -n\n" << checked.out;
    }
}

}  // namespace
