// The copy-out (-x DIR): sample volumes written by other implementations come
// out as their lists say; built volumes of every variant come out with their
// contents, dates, modes, comments and links; hostile names and trees write
// nothing outside DIR; damage never gives a complete file with wrong bytes.
#include "e2e.h"
#include "extract.h"
#include "mutation_cases.h"
#include "rdbimage.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

e2e::Run extract(const std::vector<std::string> &args) { return e2e::run(VISTREL_PATH, args); }

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string md5_of(const fs::path &path)
{
    e2e::Run r = e2e::run("/usr/bin/md5sum", {path.string()});
    return r.out.substr(0, 32);
}

// "KIND SIZE MD5 PATH" lines of the tree under `dir`, sorted
std::string manifest_of(const fs::path &dir)
{
    std::vector<std::string> lines;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        std::string path = "/" + fs::relative(e.path(), dir).string();
        if (e.is_directory())
            lines.push_back("d 0 - " + path);
        else
            lines.push_back("f " + std::to_string(e.file_size()) + " " + md5_of(e.path()) + " " + path);
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const auto &l : lines)
        text += l + "\n";
    return text;
}

std::string sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto &l : lines)
        out += l + "\n";
    return out;
}

// The gzip'd images in `folder` whose names end in `suffix`, sorted.
std::vector<fs::path> gzipped_images(const fs::path &folder, const std::string &suffix)
{
    std::vector<fs::path> found;
    for (const auto &e : fs::directory_iterator(folder))
        if (e.path().filename().string().ends_with(suffix))
            found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
}

// Unpacks the gzip'd image `gz` into a scratch file named `name`; its path.
std::string unpacked(const fs::path &gz, const std::string &name)
{
    std::string image = e2e::temp_path(name);
    EXPECT_EQ(e2e::run("/bin/sh", {"-c", "gzip -dc '" + gz.string() + "' > '" + image + "'"}).status, 0) << gz;
    return image;
}

std::string bytes_text(const std::vector<std::uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(Extract, SampleVolumesComeOutAsTheirListsSay)
{
    fs::path samples = fs::path(SOURCE_DIR) / ".." / "shared" / "samples";
    if (!fs::is_directory(samples))
        GTEST_SKIP() << "no sample volumes: " << samples << " is absent";
    int seen = 0;
    for (const fs::path &gz : gzipped_images(samples, ".adf.gz")) {
        std::string name = gz.filename().string();
        SCOPED_TRACE(name);
        std::string stem = name.substr(0, name.size() - 3);
        std::string image = unpacked(gz, stem);
        std::vector<std::uint8_t> before = e2e::read_file(image);
        std::string dir = e2e::temp_path("out");
        e2e::Run r = extract({"-x", dir, image});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(" 0 partial, 0 lost;"), std::string::npos) << r.out;
        // sound volumes: the check, with its OFS data block checks, says nothing
        EXPECT_EQ(r.out.find("vistrel:"), std::string::npos) << r.out;
        EXPECT_EQ(e2e::read_file(image), before) << "the copy-out wrote to the volume";
        fs::path manifest = samples / (stem + ".manifest");
        EXPECT_EQ(manifest_of(dir), sorted_lines(slurp(manifest)));
        ++seen;
    }
    EXPECT_GT(seen, 0);
}

// Volumes that the Linux kernel's affs driver filled in a VM (made by
// tests/kernel-volumes/kernel-vm make-volumes), at every block size, OFS and FFS: the
// copy-out gives back the kernel's own list.  The kernel's OFS writer leaves
// its preallocated blocks in a file's list past the file's size (freed in the
// bitmap); the check reports them, fsck.affs -y drops them, a second check is
// clean and the files come out the same.
TEST(Extract, KernelWrittenVolumesComeOutAsTheKernelListed)
{
    fs::path folder = fs::path(SOURCE_DIR) / "tests" / "kernel-volumes";
    int seen = 0;
    for (const fs::path &gz : gzipped_images(folder, ".img.gz")) {
        std::string name = gz.filename().string();
        SCOPED_TRACE(name);
        std::string stem = name.substr(0, name.size() - 7);
        std::string listed = sorted_lines(slurp(folder / (stem + ".manifest")));
        std::string image = unpacked(gz, stem + ".img");
        std::string first = e2e::temp_path("first");
        e2e::Run r = extract({"-x", first, image});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(manifest_of(first), listed);

        e2e::Run check = e2e::vistrel({"-n", image});
        std::istringstream lines(check.out);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("vistrel:")) {
                EXPECT_TRUE(stem.starts_with("ofs-")) << line;
                EXPECT_TRUE(line.find("wrong blockcount") != std::string::npos ||
                            line.find("exceeds file size") != std::string::npos)
                    << line;
            }
        e2e::Run fix = e2e::run(FSCK_AFFS_PATH, {"-y", image});
        EXPECT_LE(fix.status, 1) << fix.out << fix.err;
        e2e::Run again = e2e::vistrel({"-n", image});
        EXPECT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(again.out.find("vistrel:"), std::string::npos) << again.out;
        std::string second = e2e::temp_path("second");
        EXPECT_EQ(extract({"-x", second, image}).status, 0);
        EXPECT_EQ(manifest_of(second), listed);
        ++seen;
    }
    EXPECT_GE(seen, 8);
}

// A list that names a block past the file's size puts the size in doubt;
// on OFS the file's own last data block settles it when it holds the rest of
// the size and names no next block.
TEST(Extract, BlocksPastTheSizeDoubtItUnlessTheLastDataBlockEndsTheFile)
{
    struct Case {
        std::uint32_t dos;
        bool last_names_the_extra;  // the last data block's next names the extra block
        const char *verdict;
    };
    for (Case c : {Case{tv::kDos0, false, "1 files complete, 0 partial"},
                   Case{tv::kDos0, true, "0 files complete, 1 partial"},
                   Case{tv::kDos1, false, "0 files complete, 1 partial"}}) {
        SCOPED_TRACE(std::to_string(c.dos) + (c.last_names_the_extra ? " next names it" : ""));
        tv::Volume v({.dos_type = c.dos});
        std::uint32_t file = v.add_file(v.root(), "f", 1000);
        v.fill_data(file, 7);
        std::uint32_t extra = v.alloc();
        v.finish();
        std::vector<std::uint32_t> data = v.data_blocks(file);
        std::uint32_t slot = v.table_size() - 1 - std::uint32_t(data.size());
        v.put32(file, 24 + 4 * slot, extra);
        v.put32(file, 8, std::uint32_t(data.size() + 1));
        v.reseal_header(file);
        if (c.last_names_the_extra) {
            v.put32(data.back(), 16, extra);
            v.reseal(data.back(), 5);
        }
        std::string image = e2e::temp_path("extra.adf");
        v.write(image);
        e2e::Run r = extract({"-x", e2e::temp_path("out"), image});
        EXPECT_NE(r.out.find(c.verdict), std::string::npos) << r.out;
    }
}

TEST(Extract, EveryVariantWithContentsDatesModesCommentsAndLinks)
{
    for (const e2e::Variant &variant : e2e::variants) {
        for (std::uint32_t block_size : {512u, 2048u}) {
            SCOPED_TRACE(std::to_string(variant.dos_type) + " at " + std::to_string(block_size));
            tv::Volume v({.block_size = block_size, .total_blocks = 4000, .dos_type = variant.dos_type, .name = "Work"});
            std::uint32_t root = v.root();
            tv::Date when{16000, 605, 1234};  // 2021-10-22 10:05:24.68
            std::uint32_t dir = v.add_dir(root, "Dir", {.comment = "a directory", .date = when});
            std::uint32_t sub = v.add_dir(dir, "Sub");
            std::uint32_t big = v.add_file(dir, "big", 100 * v.payload() + 7);
            std::uint32_t small = v.add_file(root, "small", 700, {.comment = "two blocks", .date = when});
            std::uint32_t empty = v.add_file(sub, "empty", 0);
            std::uint32_t latin = v.add_file(root, "caf\xe9", 3);
            v.add_softlink(root, "soft", "Dir/big");
            v.add_softlink(sub, "up", "/big");
            v.add_softlink(sub, "vol", "Work:small");
            v.add_softlink(root, "other", "DH0:c/dir");
            // the hard link comes before its target in the walk's order or after it
            std::uint32_t hard = v.add_hardlink(sub, "hard", small);
            v.add_hardlink(root, "linkdir", sub);
            std::map<std::string, std::string> files = {
                {"Dir/big", bytes_text(v.fill_data(big, 1))},
                {"small", bytes_text(v.fill_data(small, 2))},
                {"Dir/Sub/empty", bytes_text(v.fill_data(empty, 3))},
                {"caf\xc3\xa9", bytes_text(v.fill_data(latin, 4))},
            };
            // small: not writable (the W bit set), big: not executable (E set)
            v.finish();
            v.put32(small, block_size - 192, 0x4);
            v.reseal_header(small);
            v.put32(big, block_size - 192, 0x2);
            v.reseal_header(big);
            (void)hard;
            std::string image = e2e::temp_path("work.adf");
            v.write(image);
            std::vector<std::uint8_t> before = e2e::read_file(image);
            fs::path out = e2e::temp_path("out");
            e2e::Run r = extract({"-x", out.string(), image});
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(e2e::read_file(image), before);
            EXPECT_NE(r.out.find("extract: 4 files complete, 0 partial, 0 lost; 2 directories, 6 links; " +
                                 std::to_string(100 * v.payload() + 7 + 700 + 3) + " bytes written\n"),
                      std::string::npos)
                << r.out;
            for (const auto &[path, contents] : files)
                EXPECT_EQ(slurp(out / path), contents) << path;
            EXPECT_EQ(fs::read_symlink(out / "soft"), "Dir/big");
            EXPECT_EQ(fs::read_symlink(out / "Dir/Sub/up"), "../big");
            EXPECT_EQ(fs::read_symlink(out / "Dir/Sub/vol"), "../../small");
            EXPECT_EQ(fs::read_symlink(out / "other"), "DH0:c/dir");
            EXPECT_EQ(fs::read_symlink(out / "linkdir"), "Dir/Sub");
            struct stat a {}, b {};
            ASSERT_EQ(lstat((out / "small").c_str(), &a), 0);
            ASSERT_EQ(lstat((out / "Dir/Sub/hard").c_str(), &b), 0);
            EXPECT_EQ(a.st_ino, b.st_ino) << "the hard link is a link";
            EXPECT_EQ(a.st_mode & 0777, 0500u);
            ASSERT_EQ(lstat((out / "Dir/big").c_str(), &b), 0);
            EXPECT_EQ(b.st_mode & 0777, 0600u);
            // the test runs with TZ=UTC: the local time is the Amiga's date
            std::int64_t seconds = 252460800 + 16000 * 86400 + 605 * 60 + 1234 / 50;
            EXPECT_EQ(a.st_mtim.tv_sec, seconds);
            EXPECT_EQ(a.st_mtim.tv_nsec, 34 * 20000000L);
            ASSERT_EQ(lstat((out / "Dir").c_str(), &b), 0);
            EXPECT_EQ(b.st_mtim.tv_sec, seconds);
            char comment[100] = {};
            ssize_t n = getxattr((out / "small").c_str(), "user.comment", comment, sizeof comment);
            if (n >= 0 || errno != ENOTSUP) {
                EXPECT_EQ(std::string(comment, n < 0 ? 0 : std::size_t(n)), "two blocks");
            }
            fs::permissions(out / "small", fs::perms::owner_all);
        }
    }
}

TEST(Extract, TheDirectoryMustBeNewOrEmpty)
{
    tv::Volume v({.name = "Work"});
    v.add_file(v.root(), "a", 10);
    std::string image = e2e::temp_path("work.adf");
    v.write(image);
    fs::path out = e2e::temp_path("out");
    fs::create_directory(out);
    std::ofstream(out / "old") << "keep";
    e2e::Run r = extract({"-x", out.string(), image});
    EXPECT_EQ(r.status, 8);
    EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out / "old"), "keep");
    EXPECT_FALSE(fs::exists(out / "a"));
    // an empty one is taken
    fs::remove(out / "old");
    EXPECT_EQ(extract({"-x", out.string(), image}).status, 0);
    EXPECT_TRUE(fs::exists(out / "a"));
    // --salvage alone is a usage error; a device that holds no volume is 8
    EXPECT_NE(extract({"--salvage", image}).status, 0);
    std::string blank = e2e::sparse_image("blank.adf", 1760 * 512);
    EXPECT_EQ(extract({"-x", e2e::temp_path("none"), blank}).status, 8);
}

// Names that Linux cannot take, links out of the volume, a loop of
// directories and a tree deeper than PATH_MAX: everything stays inside DIR.
TEST(Extract, HostileNamesAndTreesStayInside)
{
    tv::Volume v({.block_size = 512, .total_blocks = 20000, .name = "Evil"});
    std::uint32_t root = v.root();
    v.add_file(root, "..", 5);
    v.add_file(root, ".", 5);
    v.add_file(root, "a/b", 5);
    v.add_file(root, "ctl\x01\x7f%", 5);
    v.add_file(root, std::string_view("nul\0x", 5), 5);
    v.add_softlink(root, "etc", "/etc");
    v.add_softlink(root, "passwd", "../../../../etc/passwd");
    v.add_softlink(root, "deep", "//////x");
    std::uint32_t loop = v.add_dir(root, "loop");
    // the directory names itself as its own entry: a loop the walk ends
    std::uint32_t inner = v.add_dir(loop, "inner");
    std::uint32_t deep = root;
    for (int i = 0; i < 2100; ++i)
        deep = v.add_dir(deep, "dd");
    v.add_file(deep, "bottom", 3);
    v.finish();
    v.put32(inner, tv::off::table_long(v.hash_slot("loop")), loop);
    v.reseal_header(inner);
    std::string image = e2e::temp_path("evil.adf");
    v.write(image);
    fs::path parent = e2e::temp_path("jail");
    fs::create_directory(parent);
    fs::path out = parent / "out";
    e2e::Run r = extract({"-x", out.string(), image});
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 3000) << r.err;
    // nothing beside DIR
    std::set<std::string> beside;
    for (const auto &e : fs::directory_iterator(parent))
        beside.insert(e.path().filename().string());
    EXPECT_EQ(beside, std::set<std::string>{"out"});
    for (const char *name : {"%2E%2E", "%2E", "a%2Fb", "ctl%01%7F%25", "nul%00x"}) {
        EXPECT_TRUE(fs::is_regular_file(out / name)) << name;
        EXPECT_NE(r.out.find(std::string("extract: ") + name + ": name escaped"), std::string::npos) << name;
    }
    EXPECT_EQ(fs::read_symlink(out / "etc"), "etc");
    EXPECT_EQ(fs::read_symlink(out / "passwd"), "%2E%2E/%2E%2E/%2E%2E/%2E%2E/etc/passwd");
    EXPECT_EQ(fs::read_symlink(out / "deep"), "x");
    EXPECT_NE(r.out.find("extract: deep: link target climbs above"), std::string::npos);
    // every link resolves inside DIR
    for (const auto &e : fs::recursive_directory_iterator(out)) {
        if (!e.is_symlink())
            continue;
        fs::path resolved = (e.path().parent_path() / fs::read_symlink(e.path())).lexically_normal();
        EXPECT_TRUE(resolved.string().starts_with(out.string())) << e.path() << " -> " << resolved;
    }
    // the deep tree is written whole, and its depth reported
    std::string path = out.string();
    for (int i = 0; i < 2100; ++i)
        path += "/dd";
    EXPECT_GT(path.size(), std::size_t(PATH_MAX));
    EXPECT_NE(r.out.find("path longer than PATH_MAX"), std::string::npos);
    EXPECT_NE(r.out.find("extract: 6 files complete, 0 partial, 0 lost;"), std::string::npos) << r.out.substr(0, 2000);
    fs::remove_all(parent);
}

namespace {

// the paths that the copy-out reported partial or lost
std::set<std::string> reported(const std::string &out)
{
    std::set<std::string> paths;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("extract: "))
            continue;
        for (const char *verdict : {": partial", ": lost"}) {
            std::size_t at = line.find(verdict);
            if (at != std::string::npos)
                paths.insert(line.substr(9, at - 9));
        }
    }
    return paths;
}

}  // namespace

// Every damage of the mutation test: a file whose blocks the damage did not
// touch comes out complete (at its place, or salvaged), and a file at its
// place with other bytes than it had is reported partial or lost, unless the
// damage left a volume that the check finds sound (a size one byte off that
// still fits its blocks is a file of another size, not damage).
TEST(Extract, DamageNeverGivesACompleteFileWithWrongBytes)
{
    for (std::uint32_t dos : {tv::kDos0 + 5, tv::kDos0 + 4}) {
        auto build = [](Built &b, std::map<std::uint32_t, std::string> &contents) {
            populate(b);
            for (std::size_t i = 0; i < b.files.size(); ++i)
                contents[b.files[i]] = bytes_text(b.volume.fill_data(b.files[i], std::uint32_t(i + 1)));
        };
        Built shape{tv::Volume({.dos_type = dos, .name = "Mutant"}), {}, {}, {}, {}};
        std::map<std::uint32_t, std::string> contents;
        build(shape, contents);
        std::map<std::uint32_t, std::string> path = {{shape.files[0], "Dir/big"},
                                                     {shape.files[1], "small"},
                                                     {shape.files[2], "Dir/Sub/empty"},
                                                     {shape.files[3], "chained"}};
        // what the check says of the sound volume
        std::string sound_image = e2e::temp_path("sound.adf");
        shape.volume.write(sound_image);
        std::string sound = e2e::run(VISTREL_PATH, {"-n", sound_image}).out;
        std::size_t reports = 0;  // the damage is seen: files reported partial or lost
        for (std::size_t kind = 0; kind < 3; ++kind) {
            const std::vector<std::uint32_t> &blocks =
                kind == 0 ? shape.headers : kind == 1 ? shape.extensions : shape.dircaches;
            const Field *fields = kind == 0 ? header_fields : kind == 1 ? extension_fields : dircache_fields;
            std::size_t field_count = kind == 0   ? std::size(header_fields)
                                      : kind == 1 ? std::size(extension_fields)
                                                  : std::size(dircache_fields);
            for (std::uint32_t block : blocks) {
                for (std::size_t f = 0; f < field_count; ++f) {
                    std::uint32_t offset = fields[f].offset(512);
                    std::uint32_t old = shape.volume.get32(block, offset);
                    for (std::uint32_t value : damaged_values(old, 1760)) {
                        for (bool reseal : {true, false}) {
                            Built b{tv::Volume({.dos_type = dos, .name = "Mutant"}), {}, {}, {}, {}};
                            std::map<std::uint32_t, std::string> expected;
                            build(b, expected);
                            std::string what = std::string(fields[f].name) + " of block " + std::to_string(block) +
                                               " = " + std::to_string(value) + (reseal ? " resealed" : "");
                            SCOPED_TRACE(what);
                            // the files the damage touches: the one whose block it is, and
                            // those whose data block a damaged pointer now names
                            std::set<std::uint32_t> touched;
                            for (std::uint32_t file : b.files) {
                                const std::vector<std::uint32_t> &data = b.volume.data_blocks(file);
                                const std::vector<std::uint32_t> &ext = b.volume.ext_blocks(file);
                                if (file == block || std::count(ext.begin(), ext.end(), block) ||
                                    std::count(data.begin(), data.end(), value))
                                    touched.insert(file);
                            }
                            b.volume.put32(block, offset, value);
                            if (reseal)
                                b.volume.reseal_header(block);
                            std::string image = e2e::temp_path("mutated.adf");
                            b.volume.write(image);
                            std::vector<std::uint8_t> before = e2e::read_file(image);
                            fs::path out = e2e::temp_path("out");
                            e2e::Run r = extract({"-x", out.string(), "--salvage", image});
                            ASSERT_TRUE(r.status == 0 || r.status == 1) << r.out << r.err;
                            ASSERT_EQ(e2e::read_file(image), before);
                            bool check_found = e2e::run(VISTREL_PATH, {"-n", image}).out != sound;
                            std::set<std::string> bad = reported(r.out);
                            reports += bad.size();
                            // the contents of every regular file written
                            std::multiset<std::string> written;
                            for (const auto &e : fs::recursive_directory_iterator(out))
                                if (e.is_regular_file() && !e.is_symlink())
                                    written.insert(slurp(e.path()));
                            for (std::uint32_t file : b.files) {
                                SCOPED_TRACE(path.at(file));
                                if (!touched.count(file)) {
                                    EXPECT_TRUE(written.count(expected.at(file))) << r.out;
                                    EXPECT_FALSE(bad.count(path.at(file))) << r.out;
                                } else if (fs::is_regular_file(fs::symlink_status(out / path.at(file))) &&
                                           slurp(out / path.at(file)) != expected.at(file) && check_found) {
                                    EXPECT_TRUE(bad.count(path.at(file))) << r.out;
                                }
                            }
                            fs::remove_all(out);
                        }
                    }
                }
            }
        }
        EXPECT_GT(reports, 100u);
    }
}

// Salvage: entries behind a damaged directory header go to lost+found as
// BLOCK.NAME with their subtrees, an entry cut from the chain of a directory
// that was extracted goes back to its place, and with =deleted a file whose
// header and blocks are free comes out under deleted/.  The JSON report
// lists every item with its verdict and validates against the schema.
TEST(Extract, SalvageLostAndDeletedEntries)
{
    tv::Volume v({.dos_type = tv::kDos0, .name = "Work"});
    std::uint32_t root = v.root();
    std::uint32_t dir = v.add_dir(root, "Dir");
    std::uint32_t sub = v.add_dir(dir, "Sub");
    std::uint32_t inner = v.add_file(sub, "inner", 1000);
    std::uint32_t keep = v.add_dir(root, "Keep");
    std::uint32_t cut = v.add_file(keep, "cut", 600);
    std::uint32_t gone = v.add_file(root, "gone", 800);
    std::string inner_bytes = bytes_text(v.fill_data(inner, 1));
    std::string cut_bytes = bytes_text(v.fill_data(cut, 2));
    std::string gone_bytes = bytes_text(v.fill_data(gone, 3));
    v.finish();
    v.put32(dir, tv::off::type, 7);  // the directory's header is rejected, Sub with it
    v.reseal_header(dir);
    v.put32(keep, tv::off::table_long(v.hash_slot("cut")), 0);  // cut out of its chain
    v.put32(keep, 512 - 192, 0x4);                               // and Keep not writable
    v.reseal_header(keep);
    // gone is deleted: out of the root's table, its blocks free
    v.put32(root, tv::off::table_long(v.hash_slot("gone")), 0);
    v.reseal_header(root);
    v.set_disk_bit(gone, false);
    for (std::uint32_t b : v.data_blocks(gone))
        v.set_disk_bit(b, false);
    std::string image = e2e::temp_path("lost.adf");
    v.write(image);
    std::vector<std::uint8_t> before = e2e::read_file(image);

    fs::path plain = e2e::temp_path("plain");
    e2e::Run r = extract({"-x", plain.string(), image});
    // the check finds the damage, but every file that was reached is complete
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(fs::exists(plain / "lost+found"));

    fs::path out = e2e::temp_path("out");
    r = extract({"-x", out.string(), "--salvage=deleted", image});
    EXPECT_EQ(e2e::read_file(image), before);
    EXPECT_EQ(slurp(out / "lost+found" / (std::to_string(sub) + ".Sub") / "inner"), inner_bytes) << r.out;
    EXPECT_EQ(slurp(out / "Keep" / "cut"), cut_bytes) << r.out;
    // Keep has its mode and date once cut is back in it
    struct stat keep_stat {};
    ASSERT_EQ(stat((out / "Keep").c_str(), &keep_stat), 0);
    EXPECT_EQ(keep_stat.st_mode & 0777, 0500u);
    EXPECT_EQ(keep_stat.st_mtim.tv_sec, 252460800 + 16753 * 86400 + 1333 * 60 + 20);
    fs::permissions(out / "Keep", fs::perms::owner_all);  // for the scratch folder's removal
    EXPECT_EQ(slurp(out / "deleted" / (std::to_string(gone) + ".gone")), gone_bytes) << r.out;
    EXPECT_NE(r.out.find("extract: Keep/cut: salvaged lost entry of block " + std::to_string(cut)), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("salvaged deleted entry of block " + std::to_string(gone)), std::string::npos) << r.out;

    fs::path json = e2e::temp_path("json");
    r = extract({"--json", "-x", json.string(), "--salvage=deleted", image});
    EXPECT_NE(r.out.find("\"extract\":{\"complete\":3,\"partial\":0,\"lost\":0,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"path\":\"Keep/cut\",\"kind\":\"file\",\"block\":" + std::to_string(cut) +
                         ",\"origin\":\"lost\",\"size\":600,\"verdict\":\"complete\""),
              std::string::npos)
        << r.out;
    std::string file = e2e::temp_path("report.json");
    std::ofstream(file, std::ios::binary) << r.out;
    e2e::Run valid = e2e::run(fs::path(SOURCE_DIR) / "tests" / "json_validate.py",
                              {(fs::path(SOURCE_DIR) / "tests" / "report.schema.json").string(), file});
    if (valid.status != 77) {
        EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
    }
    fs::permissions(json / "Keep", fs::perms::owner_all);
}

// A file with a damaged data block comes out with its size, zeros where the
// block was, a partial verdict naming the bytes, and status 1.
TEST(Extract, PartialFilesKeepTheirSize)
{
    for (std::uint32_t dos : {tv::kDos0, tv::kDos1}) {
        tv::Volume v({.dos_type = dos, .name = "Work"});
        std::uint32_t file = v.add_file(v.root(), "f", 3 * v.payload() + 10);
        std::string bytes = bytes_text(v.fill_data(file, 7));
        std::uint32_t hostile = v.add_file(v.root(), "huge", 2 * v.payload());
        v.fill_data(hostile, 8);
        v.finish();
        // the second block's pointer names a reserved block; the hostile size is 4 GiB over two blocks
        v.put32(file, tv::off::data_ptr(512, 1), 1);
        v.reseal_header(file);
        v.put32(hostile, tv::off::byte_size(512), 0xFFFFFFF0u);
        v.reseal_header(hostile);
        std::string image = e2e::temp_path("partial.adf");
        v.write(image);
        fs::path out = e2e::temp_path("out");
        e2e::Run r = extract({"-x", out.string(), image});
        EXPECT_EQ(r.status, 1);
        std::string got = slurp(out / "f");
        std::string want = bytes;
        std::fill(want.begin() + v.payload(), want.begin() + 2 * v.payload(), '\0');
        EXPECT_EQ(got, want);
        std::string range = std::to_string(v.payload()) + "-" + std::to_string(2 * v.payload() - 1);
        EXPECT_NE(r.out.find("extract: f: partial, bytes " + range + " missing\n"), std::string::npos) << r.out;
        EXPECT_EQ(fs::file_size(out / "huge"), 2 * v.payload());
        EXPECT_NE(r.out.find("extract: huge: partial, bytes " + std::to_string(2 * v.payload()) + "-4294967279 missing"),
                  std::string::npos)
            << r.out;
    }
}

// Against an independent reader: unadf (Debian's package) extracts the same
// built volumes, of every DOS type, to the same files with the same bytes.
TEST(Extract, SameFilesAsUnadf)
{
    if (!fs::exists("/usr/bin/unadf"))
        GTEST_SKIP() << "unadf is not installed (Debian package unadf)";
    for (std::uint32_t dos = tv::kDos0; dos <= tv::kDos0 + 5; ++dos) {
        SCOPED_TRACE(dos);
        tv::Volume v({.dos_type = dos, .name = "Other"});
        std::uint32_t root = v.root();
        std::uint32_t dir = v.add_dir(root, "Dir");
        std::uint32_t sub = v.add_dir(dir, "Sub");
        std::uint32_t seed = 1;
        for (std::uint32_t size : {0u, 1u, 487u, 488u, 512u, 36865u, 100000u}) {
            std::string name = "f";
            name += std::to_string(size);
            v.fill_data(v.add_file(size % 2 ? dir : sub, name, size), seed++);
        }
        if (tv::dos_is_dircache(dos)) {
            v.add_dircache(root, 1);
            v.add_dircache(dir, 1);
            v.add_dircache(sub, 1);
        }
        std::string image = e2e::temp_path("other.adf");
        v.write(image);
        fs::path ours = e2e::temp_path("ours"), theirs = e2e::temp_path("theirs");
        fs::create_directory(theirs);
        ASSERT_EQ(extract({"-x", ours.string(), image}).status, 0);
        e2e::Run u = e2e::run("/usr/bin/unadf", {image, "-d", theirs.string()});
        ASSERT_EQ(u.status, 0) << u.out << u.err;
        EXPECT_EQ(manifest_of(ours), manifest_of(theirs));
    }
}

// The translation of names and soft link targets, as a table.
TEST(Extract, NamesAndLinkTargets)
{
    struct Name {
        std::string amiga, host;
        bool escaped;
    };
    for (const Name &n : std::vector<Name>{{"plain", "plain", false},
                                           {"50%", "50%", false},
                                           {"caf\xe9", "caf\xc3\xa9", false},
                                           {"", "%00", true},
                                           {".", "%2E", true},
                                           {"..", "%2E%2E", true},
                                           {"...", "...", false},
                                           {"a/b%", "a%2Fb%25", true},
                                           {std::string("\0\x1f\x7f\x85\xa0", 5), "%00%1F%7F%85\xc2\xa0", true}}) {
        bool escaped = false;
        EXPECT_EQ(host_name(reinterpret_cast<const std::uint8_t *>(n.amiga.data()), n.amiga.size(), escaped), n.host);
        EXPECT_EQ(escaped, n.escaped) << n.amiga;
    }
    struct Link {
        std::string target;
        std::uint32_t depth;
        std::string host;
        bool clamped;
    };
    for (const Link &l : std::vector<Link>{{"Dir/file", 0, "Dir/file", false},
                                           {"/file", 2, "../file", false},
                                           {"//file", 2, "../../file", false},
                                           {"///file", 2, "../../file", true},
                                           {"a//b", 0, "a/../b", false},
                                           {"a/", 0, "a", false},
                                           {"work:c/dir", 2, "../../c/dir", false},
                                           {":c", 1, "../c", false},
                                           {"Work:", 1, "..", false},
                                           {"Work:", 0, ".", false},
                                           {"DH0:c", 1, "DH0:c", false},
                                           {"../x", 0, "%2E%2E/x", false},
                                           {"", 0, ".", false}}) {
        bool clamped = false;
        EXPECT_EQ(link_target(l.target, l.depth, "Work", clamped), l.host) << l.target;
        EXPECT_EQ(clamped, l.clamped) << l.target;
    }
}

// -p: the files of one partition of a partitioned disk, by its drive name;
// the disk is left as it was.
TEST(Extract, OnePartition)
{
    rdb::Table t;
    rdb::Part a;
    rdb::Part b = a;  // 1024-byte blocks, 4 reserved
    b.name = "Work", b.sector_per_block = 2, b.reserved = 4, b.low_cyl = 66, b.high_cyl = 129;
    t.parts = {a, b};
    std::string image = rdb::image("disk.img", 5 << 20, t);
    tv::Volume v({.block_size = 1024,
                  .total_blocks = std::uint32_t((b.end_byte() - b.first_byte()) / 1024),
                  .reserved_blocks = 4,
                  .name = "Work"});
    std::string bytes = bytes_text(v.fill_data(v.add_file(v.add_dir(v.root(), "d"), "f", 5000), 9));
    rdb::place_volume(image, b.first_byte(), v);
    std::vector<std::uint8_t> before = e2e::read_file(image);
    fs::path out = e2e::temp_path("out");
    e2e::Run r = extract({"-p", "work", "-x", out.string(), image});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slurp(out / "d" / "f"), bytes);
    EXPECT_EQ(e2e::read_file(image), before);
}
