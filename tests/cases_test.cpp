// End-to-end cases as data: each folder of tests/cases holds
//
//   recipe    how the test-volume builder makes the volume and its damage
//   args      the checker's arguments on one line; IMAGE stands for the image;
//             a first word fsck.affs runs the checker by that name
//   expect    its whole standard output, then "exit status N"
//   args.2, expect.2   (optional) a second run on the image the first left
//
// Recipe lines (names are paths from the root, '/' between them):
//
//   volume [size=512] [blocks=1760] [dos=1] [name=N]   the first line; dos is "DOS" 0..5
//   dir PATH | file PATH BYTES | softlink PATH TARGET
//   long PATH OFFSET VALUE [reseal]   a long of the entry's header block;
//                                     OFFSET counts from the end when negative
//   ext PATH OFFSET VALUE [reseal]    the same in the file's first extension block
//   bitmap PATH used|free             the entry's own bit in the volume's bitmap
//   bitmap BLOCK used|free
//   block BLOCK OFFSET VALUE          a long of any block, left unsealed
//
// UPDATE_CASES=1 writes the outputs of the runs as the expected ones.
#include "e2e.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> list;
    for (std::string w; in >> w;)
        list.push_back(w);
    return list;
}

std::uint32_t number(const std::string &text) { return std::uint32_t(std::stoll(text, nullptr, 0)); }

// parent directory and last name of a path
std::pair<std::uint32_t, std::string> split(tv::Volume &v, const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {v.root(), path};
    return {v.lookup(path.substr(0, slash)), path.substr(slash + 1)};
}

// Builds the volume of `recipe` into `image`; false (with a failure) on a
// line it does not know.
bool build(const std::string &recipe, const std::string &image)
{
    std::istringstream lines(recipe);
    std::string line;
    std::unique_ptr<tv::Volume> v;
    std::vector<std::vector<std::string>> damage;
    while (std::getline(lines, line)) {
        std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        if (w[0] == "volume") {
            tv::VolumeSetup setup;
            for (std::size_t i = 1; i < w.size(); ++i) {
                std::string key = w[i].substr(0, w[i].find('=')), value = w[i].substr(w[i].find('=') + 1);
                if (key == "size")
                    setup.block_size = number(value);
                else if (key == "blocks")
                    setup.total_blocks = number(value);
                else if (key == "dos")
                    setup.dos_type = tv::kDos0 + number(value);
                else if (key == "name")
                    setup.name = value;
            }
            v = std::make_unique<tv::Volume>(setup);
        } else if (!v) {
            ADD_FAILURE() << "the recipe starts without a volume line";
            return false;
        } else if (w[0] == "dir" && w.size() == 2) {
            auto [parent, name] = split(*v, w[1]);
            v->add_dir(parent, name);
        } else if (w[0] == "file" && w.size() == 3) {
            auto [parent, name] = split(*v, w[1]);
            v->add_file(parent, name, number(w[2]));
        } else if (w[0] == "softlink" && w.size() == 3) {
            auto [parent, name] = split(*v, w[1]);
            v->add_softlink(parent, name, w[2]);
        } else if (w[0] == "long" || w[0] == "ext" || w[0] == "bitmap" || w[0] == "block") {
            damage.push_back(w);
        } else {
            ADD_FAILURE() << "unknown recipe line: " << line;
            return false;
        }
    }
    v->finish();
    for (const auto &w : damage) {
        if (w[0] == "bitmap") {
            std::uint32_t block = std::isdigit(static_cast<unsigned char>(w[1][0])) ? number(w[1]) : v->lookup(w[1]);
            v->set_disk_bit(block, w[2] == "used");
            continue;
        }
        std::uint32_t block = w[0] == "block" ? number(w[1]) : v->lookup(w[1]);
        if (w[0] == "ext")
            block = v->ext_blocks(block).at(0);
        std::int64_t offset = std::stoll(w[2], nullptr, 0);
        std::uint32_t at = std::uint32_t(offset < 0 ? v->block_size() + offset : offset);
        v->put32(block, at, number(w[3]));
        if (w.size() > 4 && w[4] == "reseal")
            v->reseal_header(block);
    }
    v->write(image);
    return true;
}

// One run of a case: its output and status as the expect files hold them.
std::string run_case(const fs::path &args_file, const std::string &image)
{
    std::vector<std::string> args;
    for (const std::string &w : words(slurp(args_file)))
        args.push_back(w == "IMAGE" ? image : w);
    bool fsck = !args.empty() && args[0] == "fsck.affs";
    if (fsck)
        args.erase(args.begin());
    e2e::Run run = fsck ? e2e::run(FSCK_AFFS_PATH, args) : e2e::vistrel(args);
    return run.out + "exit status " + std::to_string(run.status) + "\n";
}

void compare(const fs::path &expect_file, const std::string &got)
{
    if (std::getenv("UPDATE_CASES")) {
        std::ofstream(expect_file, std::ios::binary) << got;
        return;
    }
    EXPECT_EQ(got, slurp(expect_file)) << expect_file;
}

TEST(Cases, EveryFolder)
{
    fs::path root = fs::path(SOURCE_DIR) / "tests" / "cases";
    std::vector<fs::path> folders;
    for (const auto &entry : fs::directory_iterator(root))
        if (entry.is_directory())
            folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());
    ASSERT_FALSE(folders.empty());
    for (const fs::path &folder : folders) {
        SCOPED_TRACE(folder.filename().string());
        std::string image = e2e::temp_path(folder.filename().string() + ".adf");
        if (!build(slurp(folder / "recipe"), image))
            continue;
        compare(folder / "expect", run_case(folder / "args", image));
        if (fs::exists(folder / "args.2"))
            compare(folder / "expect.2", run_case(folder / "args.2", image));
    }
}

// The JSON report of every case's volume, by both names, before and after
// a repair, validates against the schema of the manual page.
TEST(Cases, JsonValidates)
{
    fs::path root = fs::path(SOURCE_DIR) / "tests" / "cases";
    std::vector<std::string> documents = {fs::path(SOURCE_DIR) / "tests" / "report.schema.json"};
    for (const auto &entry : fs::directory_iterator(root)) {
        if (!entry.is_directory())
            continue;
        std::string image = e2e::temp_path(entry.path().filename().string() + ".adf");
        if (!build(slurp(entry.path() / "recipe"), image))
            continue;
        const std::vector<std::string> runs[] = {
            {VISTREL_PATH, "--json", "-n", "-v", image},
            {FSCK_AFFS_PATH, "--json", "-n", image},
            {FSCK_AFFS_PATH, "--json", "-y", image},
            {VISTREL_PATH, "--json", "--exit-codes", image},
        };
        for (const auto &r : runs) {
            e2e::Run run = e2e::run(r[0], std::vector<std::string>(r.begin() + 1, r.end()));
            EXPECT_EQ(run.out.find("\"version\":1"), 1u) << r[0] << " on " << image << ": " << run.out;
            std::string file = e2e::temp_path("report.json");
            std::ofstream(file, std::ios::binary) << run.out;
            documents.push_back(file);
        }
    }
    e2e::Run check = e2e::run(fs::path(SOURCE_DIR) / "tests" / "json_validate.py", documents);
    if (check.status == 77)
        GTEST_SKIP() << check.err;
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

}  // namespace
