// End-to-end tests of vistrel's command line and of the identification of a
// volume: root block search, block size and the detection line.
#include "e2e.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

tv::VolumeSetup setup(std::uint32_t block_size, std::uint32_t dos_type = tv::kDos1)
{
    tv::VolumeSetup s;
    s.block_size = block_size;
    s.dos_type = dos_type;
    return s;
}

std::string image_of(tv::Volume &built)
{
    std::string path = e2e::temp_path("volume.img");
    built.write(path);
    return path;
}

void expect_run(const e2e::Run &run, int status, const std::string &out, const std::string &err = "")
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
}

const char *const usage = "Usage: vistrel [OPTION...] device\n"
                          "Try `vistrel --help' or `vistrel --usage' for more information.\n";

TEST(Identify, EveryDosTypeOnEveryBlockSize)
{
    const struct {
        std::uint32_t dos_type;
        const char *line;
    } types[] = {
        {0x444F5300, "detected a old amiga filesystem\n"},
        {0x444F5301, "detected a fast amiga filesystem\n"},
        {0x444F5302, "detected a international old amiga filesystem\n"},
        {0x444F5303, "detected a international fast amiga filesystem\n"},
        {0x444F5304, "detected a dircache old amiga filesystem\n"},
        {0x444F5305, "detected a dircache fast amiga filesystem\n"},
        {0x6D754600, "detected a multiuser old amiga filesystem\n"},
        {0x6D754601, "detected a multiuser fast amiga filesystem\n"},
        {0x6D754602, "detected a international multiuser old amiga filesystem\n"},
        {0x6D754603, "detected a international multiuser fast amiga filesystem\n"},
        {0x6D754604, "detected a dircache multiuser old amiga filesystem\n"},
        {0x6D754605, "detected a dircache multiuser fast amiga filesystem\n"},
        {0x6D754653, "detected a international multiuser fast amiga filesystem\n"},  // "muFS"
    };
    for (std::uint32_t size : {512u, 1024u, 2048u, 4096u}) {
        for (const auto &t : types) {
            SCOPED_TRACE(std::to_string(size) + " " + t.line);
            tv::Volume built(setup(size, t.dos_type));
            const std::string path = image_of(built);
            expect_run(e2e::vistrel({path}), 0, t.line);
            // the root block is named in blocks of the volume's own size
            expect_run(e2e::vistrel({"-v", path}), 0, std::string("root block found at 880\n") + t.line);
        }
    }
}

TEST(Identify, UnknownDosTypesAreNamed)
{
    // block 0 of another filesystem, of none, or of a variant not known here
    const struct {
        std::uint32_t dos_type;
        const char *message;
    } types[] = {
        {0x00000000, "vistrel: unknown DOS type 0x00000000\n"},
        {0x50465303, "vistrel: unknown DOS type 0x50465303\n"},  // "PFS" 3
        {0x53465300, "vistrel: unknown DOS type 0x53465300\n"},  // "SFS" 0
        {0x444F5307, "vistrel: unknown DOS type 0x444f5307\n"},  // "DOS" 7
        {0x4B49434B, "vistrel: unknown DOS type 0x4b49434b\n"},  // "KICK"
        {0x444F5306, "vistrel: unknown DOS type 0x444f5306\n"},
        {0x6D754606, "vistrel: unknown DOS type 0x6d754606\n"},
        {0x646F7301, "vistrel: unknown DOS type 0x646f7301\n"},  // "dos" 1
        {0x6D754654, "vistrel: unknown DOS type 0x6d754654\n"},
        {0xFFFFFFFF, "vistrel: unknown DOS type 0xffffffff\n"},
    };
    for (const auto &t : types) {
        SCOPED_TRACE(t.message);
        tv::Volume built(setup(1024, t.dos_type));
        const std::string path = image_of(built);
        const std::vector<std::uint8_t> before = e2e::read_file(path);
        expect_run(e2e::vistrel({path}), 1, t.message);
        expect_run(e2e::vistrel({"-v", path}), 1, std::string("root block found at 880\n") + t.message);
        // a repair stops there too, before anything is written
        expect_run(e2e::vistrel({"-w", "-vv", path}), 1, std::string("root block found at 880\n") + t.message);
        EXPECT_EQ(e2e::read_file(path), before);
    }
}

TEST(Identify, OnlyAZeroBitmapFlagMeansNotCleanlyUnmounted)
{
    const struct {
        std::uint32_t flag;
        const char *line;
    } flags[] = {
        {0, "detected a international old amiga filesystem (not cleanly unmounted)\n"},
        {1, "detected a international old amiga filesystem\n"},
        {0xFFFFFFFF, "detected a international old amiga filesystem\n"},
        {0x12345678, "detected a international old amiga filesystem\n"},
        {0x80000000, "detected a international old amiga filesystem\n"},
    };
    for (const auto &f : flags) {
        tv::VolumeSetup s = setup(512, 0x444F5302);
        s.bitmap_flag = f.flag;
        tv::Volume built(s);
        expect_run(e2e::vistrel({image_of(built)}), 0, f.line);
    }
}

TEST(Identify, RootBlockSearch)
{
    const std::string found_880 = "root block found at 880\ndetected a fast amiga filesystem\n";
    const std::string not_found = "vistrel: unable to find root block\n";
    struct Case {
        const char *label;
        std::uint32_t block_size;
        std::optional<std::uint32_t> root;  // default: the middle of the volume
        std::function<void(tv::Volume &)> damage;
        std::optional<std::uint64_t> cut_to;  // image length after writing
        std::vector<std::string> options;
        int status;
        std::string out;
    } cases[] = {
        {"forced size that fits", 2048, {}, {}, {}, {"-v", "-s", "2048"}, 0, found_880},
        {"forced size that does not fit", 2048, {}, {}, {}, {"-v", "-s", "512"}, 1, not_found},
        {"root off the middle, among the candidates", 512, 884, {}, {}, {"-v"}, 0,
         "root block found at 884\ndetected a fast amiga filesystem\n"},
        {"given root: only that sector is tried", 512, 884, {}, {}, {"-v", "-b", "880"}, 1, not_found},
        {"given root that holds it", 512, 884, {}, {}, {"-v", "-b", "884"}, 0,
         "root block found at 884\ndetected a fast amiga filesystem\n"},
        {"given root in blocks of the forced size", 2048, {}, {}, {}, {"-v", "-b", "880", "-s", "2048"}, 0,
         found_880},
        {"given root in sectors without a size", 2048, {}, {}, {}, {"-v", "-b", "3520"}, 0, found_880},
        {"given root as a block number without a size", 2048, {}, {}, {}, {"-v", "-b", "880"}, 1, not_found},
        {"given root past the end", 512, {}, {}, {}, {"-v", "-b", "5000"}, 1,
         "vistrel: unable to read block 5000 (block is out of range)\n" + not_found},
        {"given root in the reserved blocks", 512, {}, {}, {}, {"-b", "1"}, 1,
         "vistrel: unable to read block 1 (block is reserved)\n" + not_found},
        {"candidates in the reserved blocks", 512, {}, {}, {}, {"-r", "1000"}, 1,
         "vistrel: unable to read block 880 (block is reserved)\n" + not_found},
        {"empty image", 512, {}, {}, 0, {}, 1, "vistrel: unable to read block 0 (block is reserved)\n" + not_found},
        {"root block cut short by the end of the image", 2048, {}, {}, 880 * 2048 + 1000,
         {"-b", "880", "-s", "2048"}, 1, "vistrel: short read of block 880 (1000 of 2048)\n" + not_found},
        // the size in blocks: block 2000 lies within the 3520 sectors, but
        // past the 1760 blocks of 1024 bytes
        {"bitmap pointer past the last block", 1024, {},
         [](tv::Volume &v) {
             v.put32(v.root(), tv::off::bitmap_pages(1024), 2000);
             v.reseal_header(v.root());
         },
         {}, {"-v"}, 0,
         "root block found at 880\ndetected a fast amiga filesystem\n"
         "vistrel: unable to read block 2000 (block is out of range)\n"
         "vistrel: bitmap block 2000 is unreadable\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        tv::VolumeSetup s = setup(c.block_size);
        s.root_block = c.root;
        tv::Volume built(s);
        if (c.damage)
            c.damage(built);
        const std::string path = image_of(built);
        if (c.cut_to) {
            ASSERT_EQ(truncate(path.c_str(), off_t(*c.cut_to)), 0);
        }
        std::vector<std::string> args = c.options;
        args.push_back(path);
        expect_run(e2e::vistrel(args), c.status, c.out);
    }
}

TEST(Identify, RootBlockTests)
{
    // each field that makes a block the root block, spoilt in turn
    const struct {
        std::uint32_t offset, value;
        bool reseal;
    } spoilt[] = {
        {tv::off::type, 8, true},          {tv::off::header_key, 880, true}, {tv::off::high_seq, 1, true},
        {tv::off::first_data, 1, true},    {tv::off::table_size, 100, true}, {tv::off::table_size, 0, true},
        {tv::off::secondary_type(4096), 2, true}, {tv::off::checksum, 1, false},
    };
    for (const auto &s : spoilt) {
        SCOPED_TRACE(s.offset);
        tv::Volume built(setup(4096));
        built.put32(built.root(), s.offset, s.value);
        if (s.reseal)
            built.reseal_header(built.root());
        expect_run(e2e::vistrel({"-v", image_of(built)}), 1, "vistrel: unable to find root block\n");
    }
}

TEST(Identify, CommandLineMisuse)
{
    tv::Volume built(setup(512));
    const std::string image = image_of(built), missing = e2e::temp_path("missing.img");
    const std::string dir = e2e::temp_path("dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::vector<std::uint8_t> before = e2e::read_file(image);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{}, 64, "", usage},
        {{image, image}, 64, "", usage},
        {{"-s", "768", image}, 1, "vistrel: invalid block size 768\n", ""},
        {{"-s", "abc", image}, 1, "vistrel: invalid block size 0\n", ""},
        {{"-r", "0", image}, 1, "vistrel: at least 1 block must reserved\n", ""},
        {{missing}, 1, "", "open: No such file or directory\n"},
        {{"-n", missing}, 1, "", "open: No such file or directory\n"},
        {{dir}, 1, "", "open: Is a directory\n"},
        {{"-n", dir}, 1, "vistrel: '" + dir + "' isn't a valid device\n", ""},
        {{"/dev/null"}, 1, "vistrel: '/dev/null' isn't a valid device\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.front());
        expect_run(e2e::vistrel(c.args), c.status, c.out, c.err);
        EXPECT_EQ(e2e::read_file(image), before);
        EXPECT_FALSE(e2e::exists(missing));
    }
}

TEST(Identify, VolumeBeyond2TiB)
{
    // 2^29 + 16 blocks of 4096 bytes: 2^32 + 128 sectors, more than 32 bits count
    tv::VolumeSetup s = setup(4096);
    s.total_blocks = (1u << 29) + 16;
    tv::Volume built(s);
    const std::string image = image_of(built);
    expect_run(e2e::vistrel({"-v", image}), 0, "root block found at 268435464\ndetected a fast amiga filesystem\n");
    unlink(image.c_str());  // its bitmap takes 64 MiB of disk
}

}  // namespace
