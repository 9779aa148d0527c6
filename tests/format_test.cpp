// End-to-end tests of plandor: the command line, the geometry, the blocks of
// a fresh volume byte for byte, and vistrel's view of the volumes it writes.
#include "e2e.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

const char *const usage = "Usage: plandor [OPTION...] devicefile name\n"
                          "Try `plandor --help' or `plandor --usage' for more information.\n";

void expect_run(const e2e::Run &run, int status, const std::string &out, const std::string &err = "")
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
}

// The same for outputs of thousands of lines: only the first differing line is shown.
void expect_long_run(const e2e::Run &run, int status, const std::string &out)
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.err, "");
    const std::size_t at = std::size_t(std::mismatch(run.out.begin(), run.out.end(), out.begin(), out.end()).first -
                                       run.out.begin());
    const std::size_t line = run.out.rfind('\n', at == 0 ? 0 : at - 1) + 1;  // npos + 1 is 0
    EXPECT_TRUE(run.out == out) << "first difference in the line at byte " << line << ": got \""
                                << run.out.substr(line, 60) << "\", expected \"" << out.substr(line, 60) << "\"";
}

std::vector<std::uint8_t> pattern(std::size_t bytes)
{
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        data[i] = std::uint8_t(i * 13 + (i >> 9) + 1);
    return data;
}

std::string write_image(const std::vector<std::uint8_t> &data)
{
    std::string path = e2e::temp_path("pattern.img");
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
    return path;
}

// One run of plandor on `image`, with the clock read before and after it.
struct Formatted {
    e2e::Run run;
    std::time_t before, after;
};

Formatted format(std::vector<std::string> options, const std::string &image, const std::string &name)
{
    options.push_back(image);
    options.push_back(name);
    Formatted f;
    f.before = std::time(nullptr);
    f.run = e2e::plandor(options);
    f.after = std::time(nullptr);
    return f;
}

// The three root dates of a fresh volume: one value, the time of the run.
tv::Date root_date(const std::string &image, std::uint32_t block_size, std::uint32_t root, const Formatted &f)
{
    const std::uint64_t at = std::uint64_t(root) * block_size;
    auto date = [&](std::uint32_t offset) {
        return tv::Date{e2e::read_be32(image, at + offset), e2e::read_be32(image, at + offset + 4),
                        e2e::read_be32(image, at + offset + 8)};
    };
    tv::Date d = date(tv::off::date(block_size));
    for (std::uint32_t offset : {tv::off::volume_altered(block_size), tv::off::volume_created(block_size)}) {
        tv::Date other = date(offset);
        EXPECT_TRUE(other.days == d.days && other.minutes == d.minutes && other.ticks == d.ticks);
    }
    EXPECT_EQ(d.ticks % 50, 0u);
    EXPECT_LT(d.minutes, 1440u);
    const std::time_t seconds = std::time_t(d.days) * 86400 + d.minutes * 60 + d.ticks / 50 + 252460800;
    EXPECT_GE(seconds, f.before);
    EXPECT_LE(seconds, f.after);
    return d;
}

// "" when both files are equal, else where they first differ.
std::string difference(const std::string &a, const std::string &b, std::uint32_t block_size)
{
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0 || sa.st_size != sb.st_size)
        return "file sizes differ";
    const std::size_t chunk = 1 << 20;
    for (std::uint64_t at = 0; at < std::uint64_t(sa.st_size); at += chunk) {
        std::vector<std::uint8_t> x = e2e::read_range(a, at, chunk), y = e2e::read_range(b, at, chunk);
        auto [p, q] = std::mismatch(x.begin(), x.end(), y.begin(), y.end());
        if (p != x.end() || q != y.end()) {
            std::uint64_t offset = at + std::uint64_t(p - x.begin());
            return "block " + std::to_string(offset / block_size) + " byte " + std::to_string(offset % block_size);
        }
    }
    return "";
}

// The image is byte for byte the builder's fresh volume of the same geometry,
// with the root dates of the run.
void expect_fresh_volume(const std::string &image, tv::VolumeSetup setup, const Formatted &f)
{
    const std::uint32_t root = setup.root_block.value_or(
        std::uint32_t((std::uint64_t(setup.total_blocks) + setup.reserved_blocks - 1) / 2));
    setup.root_altered = setup.volume_altered = setup.volume_created = root_date(image, setup.block_size, root, f);
    tv::Volume built(setup);
    const std::string expected = e2e::temp_path("expected.img");
    built.write(expected);
    EXPECT_EQ(difference(image, expected, setup.block_size), "");
}

tv::VolumeSetup spec_of(std::uint64_t bytes, std::uint32_t block_size, std::uint32_t dos_type = tv::kDos1)
{
    tv::VolumeSetup s;
    s.block_size = block_size;
    s.total_blocks = std::uint32_t(bytes / block_size);
    s.extra_bytes = bytes % block_size;
    s.dos_type = dos_type;
    return s;
}

TEST(Format, FloppyImageOverOldContents)
{
    const std::vector<std::uint8_t> before = pattern(1760 * 512);
    const std::string image = write_image(before);
    Formatted f = format({}, image, "Empty");
    expect_run(f.run, 0, "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 880\n");

    const std::uint64_t root = 880 * 512, bitmap = 881 * 512;
    EXPECT_EQ(e2e::read_be32(image, 0), 0x444F5301u);
    EXPECT_EQ(e2e::read_be32(image, root + 512 - 200), 0xFFFFFFFFu);  // bitmap valid
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < 128; ++i)
        sum += e2e::read_be32(image, root + 4 * i);
    EXPECT_EQ(sum, 0u);
    for (std::uint32_t i = 0; i < 128; ++i)
        EXPECT_EQ(e2e::read_be32(image, bitmap + 4 * i),
                  i == 0 ? 0x0000C07Fu : i == 28 ? 0xFFFF3FFFu : 0xFFFFFFFFu)
            << "long " << i;

    // only long 0 of block 0, the root block and the bitmap block change
    tv::VolumeSetup s = spec_of(before.size(), 512);
    s.name = "Empty";
    s.boot.assign(before.begin() + 4, before.begin() + 512);
    s.root_altered = s.volume_altered = s.volume_created = root_date(image, 512, 880, f);
    tv::Volume built(s);
    const std::vector<std::uint8_t> fresh = built.bytes();
    std::vector<std::uint8_t> expected = before;
    for (std::uint32_t block : {0u, 880u, 881u})
        std::copy_n(fresh.begin() + block * 512, 512, expected.begin() + block * 512);
    EXPECT_EQ(e2e::read_file(image), expected);
}

TEST(Format, GeometryNamesAndOptions)
{
    const std::string name30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    const std::string found_880 = "root block found at 880\ndetected a fast amiga filesystem\n";
    const std::string geometry_1760 = "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 880\n";
    struct Case {
        const char *label;
        std::uint64_t bytes;
        std::vector<std::string> options;
        std::string name, out;
        std::uint32_t block_size, reserved;
        std::optional<std::uint32_t> root;
        std::vector<std::string> check;  // vistrel's options; none: not checked
        std::string check_out;
    } cases[] = {
        {"1760 blocks", 901120, {}, "Work", geometry_1760, 512, 2, {}, {"-v"}, found_880},
        {"3520 blocks", 1802240, {}, "Work", "blocks: 3520\nblocksize: 512\nreserved blocks: 2\nrootblock: 1760\n",
         512, 2, {}, {"-v"}, "root block found at 1760\ndetected a fast amiga filesystem\n"},
        {"60 trailing bytes", 1802300, {}, "Work",
         "blocks: 3520\nblocksize: 512\nreserved blocks: 2\nrootblock: 1760\n", 512, 2, {}, {"-v"},
         "root block found at 1760\ndetected a fast amiga filesystem\n"},
        {"1761 blocks", 901632, {}, "Work", "blocks: 1761\nblocksize: 512\nreserved blocks: 2\nrootblock: 881\n",
         512, 2, {}, {"-v"}, "root block found at 881\ndetected a fast amiga filesystem\n"},
        {"1024-byte blocks", 901120, {"-s", "1024"}, "Work",
         "blocks: 880\nblocksize: 1024\nreserved blocks: 2\nrootblock: 440\n", 1024, 2, {}, {"-v"},
         "root block found at 440\ndetected a fast amiga filesystem\n"},
        {"no reserved blocks", 901120, {"-r", "0"}, "Work",
         "blocks: 1760\nblocksize: 512\nreserved blocks: 0\nrootblock: 879\n", 512, 0, {}, {}, ""},
        {"3 reserved blocks", 901120, {"-r", "3"}, "Work",
         "blocks: 1760\nblocksize: 512\nreserved blocks: 3\nrootblock: 881\n", 512, 3, {}, {"-v", "-r", "3"},
         "root block found at 881\ndetected a fast amiga filesystem\n"},
        {"-v", 901120, {"-v"}, "Work", geometry_1760 + "writing root block at 880\n", 512, 2, {}, {"-v"},
         found_880},
        {"-vv", 901120, {"-v", "-v"}, "Work",
         geometry_1760 + "alloc bitmap 0 at 881\nwrite bitmap 0 : 881\nwriting root block at 880\n", 512, 2, {},
         {"-v"}, found_880},
        {"30-byte name", 901120, {}, name30, geometry_1760, 512, 2, {}, {"-v"}, found_880},
        {"given root", 901120, {"-b", "1000"}, "Work",
         "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 1000\n", 512, 2, 1000, {"-v", "-b", "1000"},
         "root block found at 1000\ndetected a fast amiga filesystem\n"},
        {"given root right after the reserved blocks", 901120, {"-b", "2"}, "Work",
         "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 2\n", 512, 2, 2, {"-v", "-b", "2"},
         "root block found at 2\ndetected a fast amiga filesystem\n"},
        // the bitmap block then comes from below the root
        {"given root in the last block", 901120, {"-vv", "-b", "1759"}, "Work",
         "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 1759\n"
         "alloc bitmap 0 at 2\nwrite bitmap 0 : 2\nwriting root block at 1759\n",
         512, 2, 1759, {"-vv", "-b", "1759"},
         "root block found at 1759\ndetected a fast amiga filesystem\nread bitmap 0 : 2\nbitmap check: \n"},
        {"given root in blocks of 2048 bytes", 901120, {"-s", "2048", "-b", "400"}, "Work",
         "blocks: 440\nblocksize: 2048\nreserved blocks: 2\nrootblock: 400\n", 2048, 2, 400,
         {"-v", "-s", "2048", "-b", "400"}, "root block found at 400\ndetected a fast amiga filesystem\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string image = e2e::sparse_image("format.img", c.bytes);
        Formatted f = format(c.options, image, c.name);
        expect_run(f.run, 0, c.out);
        tv::VolumeSetup s = spec_of(c.bytes, c.block_size);
        s.reserved_blocks = c.reserved;
        s.root_block = c.root;
        s.name = c.name.substr(0, 30);
        expect_fresh_volume(image, s, f);
        if (!c.check.empty()) {
            std::vector<std::string> args = c.check;
            args.push_back(image);
            expect_run(e2e::vistrel(args), 0, c.check_out);
        }
    }
}

// Volume names: the locale's text becomes ISO-8859-1 on the volume; a name
// that the Amiga cannot take is refused before the device is even opened.
TEST(Format, VolumeNames)
{
    const std::string name30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    const std::string utf8 = "LC_ALL=C.UTF-8";
    const struct {
        std::string name, locale, out;
        std::string stored;  // the name field's bytes; none when refused
    } cases[] = {
        {"Work", "", "", "Work"},
        {name30, "", "", name30},
        {"M\xC3\xBCll \xC3\x84rger", utf8, "", "M\xFCll \xC4rger"},
        // 30 characters in 31 bytes of UTF-8 fit
        {name30.substr(0, 29) + "\xC3\xA9", utf8, "", name30.substr(0, 29) + "\xE9"},
        {"", "", "plandor: the volume name is empty\n", ""},
        {name30 + "4", "", "plandor: name exceeds max name length of 30 characters\n", ""},
        {name30 + "\xC3\xA9", utf8, "plandor: name exceeds max name length of 30 characters\n", ""},
        {"Work:", "", "plandor: volume name 'Work:' holds ':', which no Amiga name may hold\n", ""},
        {"a/b", "", "plandor: volume name 'a/b' holds '/', which no Amiga name may hold\n", ""},
        {"\xE2\x82\xACuro", utf8,
         "plandor: volume name '\xE2\x82\xACuro' has characters that ISO-8859-1 cannot hold (or that are no UTF-8 "
         "text)\n", ""},
        {"M\xFCll", utf8,
         "plandor: volume name 'M\xFCll' has characters that ISO-8859-1 cannot hold (or that are no UTF-8 text)\n",
         ""},
        // the C locale's text is ASCII
        {"M\xC3\xBCll", "",
         "plandor: volume name 'M\xC3\xBCll' has characters that ISO-8859-1 cannot hold (or that are no "
         "ANSI_X3.4-1968 text)\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = e2e::sparse_image("name.img", 901120);
        std::vector<std::string> env;
        if (!c.locale.empty())
            env.push_back(c.locale);
        e2e::Run run = e2e::run(PLANDOR_PATH, {image, c.name}, env);
        if (c.out.empty()) {
            expect_run(run, 0, "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 880\n");
            const std::vector<std::uint8_t> field = e2e::read_range(image, 881 * 512 - 80, 31);
            EXPECT_EQ(field[0], c.stored.size());
            EXPECT_EQ(std::string(field.begin() + 1, field.begin() + 1 + field[0]), c.stored);
        } else {
            expect_run(run, 1, c.out);
            EXPECT_TRUE(e2e::sparse_data(image).empty());
        }
    }
}

TEST(Format, EveryVariantOnEveryBlockSize)
{
    const struct {
        std::vector<std::string> options;
        std::uint32_t dos_type;
        const char *line;
    } variants[] = {
        {{}, 0x444F5301, "detected a fast amiga filesystem\n"},
        {{"-o"}, 0x444F5300, "detected a old amiga filesystem\n"},
        {{"-i"}, 0x444F5303, "detected a international fast amiga filesystem\n"},
        {{"-d"}, 0x444F5305, "detected a dircache fast amiga filesystem\n"},
        {{"-o", "-d"}, 0x444F5304, "detected a dircache old amiga filesystem\n"},
        {{"-i", "-d"}, 0x444F5303, "detected a international fast amiga filesystem\n"},
        {{"-o", "-i"}, 0x444F5302, "detected a international old amiga filesystem\n"},
        {{"-d", "-i", "-o", "-d"}, 0x444F5302, "detected a international old amiga filesystem\n"},
    };
    const struct {
        std::uint32_t block_size;
        const char *geometry, *root;
        const char *bitmap;  // vistrel's trace of the bitmap at -vv
    } sizes[] = {
        {512, "blocks: 1760\nblocksize: 512\nreserved blocks: 2\nrootblock: 880\n", "root block found at 880\n",
         "read bitmap 0 : 881\n"},
        {1024, "blocks: 880\nblocksize: 1024\nreserved blocks: 2\nrootblock: 440\n", "root block found at 440\n",
         "read bitmap 0 : 441\n"},
        {2048, "blocks: 440\nblocksize: 2048\nreserved blocks: 2\nrootblock: 220\n", "root block found at 220\n",
         "read bitmap 0 : 221\n"},
        {4096, "blocks: 220\nblocksize: 4096\nreserved blocks: 2\nrootblock: 110\n", "root block found at 110\n",
         "read bitmap 0 : 111\n"},
    };
    for (const auto &size : sizes) {
        for (const auto &v : variants) {
            SCOPED_TRACE(std::to_string(size.block_size) + " " + v.line);
            const std::string image = e2e::sparse_image("variant.img", 901120);
            std::vector<std::string> options = v.options;
            options.insert(options.end(), {"-s", std::to_string(size.block_size)});
            Formatted f = format(options, image, "Variant");
            expect_run(f.run, 0, size.geometry);
            tv::VolumeSetup s = spec_of(901120, size.block_size, v.dos_type);
            s.name = "Variant";
            expect_fresh_volume(image, s, f);
            expect_run(e2e::vistrel({"-v", image}), 0, std::string(size.root) + v.line);
            // an empty cache chain shows as an empty line
            const bool dircache = (v.dos_type & 0xFF) >= 4;
            expect_run(e2e::vistrel({"-vv", image}), 0,
                       std::string(size.root) + v.line + size.bitmap + (dircache ? "\n" : "") + "bitmap check: \n");
        }
    }
}

// The bitmap blocks of a fresh volume, in map order, and its bitmap
// extension blocks: all of them follow the root block in chain order.
struct Chain {
    std::vector<std::uint32_t> pages, exts;
};

Chain fresh_chain(std::uint32_t root, std::uint32_t count, std::uint32_t per)
{
    Chain c;
    std::uint32_t next = root + 1;
    while (c.pages.size() < std::min(count, 25u))
        c.pages.push_back(next++);
    while (c.pages.size() < count) {
        c.exts.push_back(next++);
        for (std::uint32_t j = 0; j < per && c.pages.size() < count; ++j)
            c.pages.push_back(next++);
    }
    return c;
}

// plandor's trace at -vv after the geometry; vistrel's after the detection line
std::string format_trace(const Chain &c, std::uint32_t per)
{
    std::string alloc, write;
    for (std::size_t i = 0; i < c.pages.size(); ++i) {
        std::string at = std::to_string(c.pages[i]), number = std::to_string(i < 25 ? i : (i - 25) % per);
        if (i >= 25 && (i - 25) % per == 0)
            alloc += "alloc ext bitmap at " + std::to_string(c.exts[(i - 25) / per]) + "\n";
        alloc += "alloc bitmap " + number + " at " + at + "\n";
        write += "write bitmap " + number + (i < 25 ? " : " : ": ") + at + "\n";
    }
    return alloc + write;
}

std::string check_trace(const Chain &c, std::uint32_t per)
{
    std::string read;
    for (std::size_t i = 0; i < c.pages.size(); ++i) {
        if (i >= 25 && (i - 25) % per == 0)
            read += "read ext bitmap: " + std::to_string(c.exts[(i - 25) / per]) + "\n";
        read += "read bitmap " + std::to_string(i < 25 ? i : (i - 25) % per) + (i < 25 ? " : " : ": ") +
                std::to_string(c.pages[i]) + "\n";
    }
    return read;
}

TEST(Format, BitmapExtensionChains)
{
    const struct {
        std::uint32_t total, root, bitmap_blocks, ext_blocks;
    } cases[] = {
        {2 + 101600, 50801, 25, 0},  // the root's 25 bitmap blocks map it all
        {2 + 101601, 50802, 26, 1},
        {2 + 152 * 4064 + 1, 308866, 153, 2},  // the first extension block is full
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.total);
        const std::string image = e2e::sparse_image("chain.img", std::uint64_t(c.total) * 512);
        const Chain chain = fresh_chain(c.root, c.bitmap_blocks, 127);
        ASSERT_EQ(chain.exts.size(), c.ext_blocks);
        const std::string geometry = "blocks: " + std::to_string(c.total) +
                                     "\nblocksize: 512\nreserved blocks: 2\nrootblock: " + std::to_string(c.root) +
                                     "\n";
        Formatted f = format({"-vv"}, image, "Chain");
        expect_long_run(f.run, 0,
                        geometry + format_trace(chain, 127) + "writing root block at " + std::to_string(c.root) + "\n");

        const std::uint32_t first_ext = chain.exts.empty() ? 0 : chain.exts[0];
        EXPECT_EQ(e2e::read_be32(image, std::uint64_t(c.root) * 512 + 512 - 96), first_ext);
        for (std::size_t k = 0; k < chain.exts.size(); ++k) {
            const std::size_t first = 25 + k * 127, take = std::min<std::size_t>(127, chain.pages.size() - first);
            for (std::uint32_t j = 0; j < 128; ++j) {
                const std::uint32_t expected = j < take ? chain.pages[first + j]
                                               : j == take && k + 1 < chain.exts.size() ? chain.exts[k + 1]
                                                                                        : 0;
                EXPECT_EQ(e2e::read_be32(image, std::uint64_t(chain.exts[k]) * 512 + 4 * j), expected)
                    << "extension block " << k << " long " << j;
            }
        }
        tv::VolumeSetup s = spec_of(std::uint64_t(c.total) * 512, 512);
        s.name = "Chain";
        expect_fresh_volume(image, s, f);
        expect_long_run(e2e::vistrel({"-vv", image}), 0,
                        "root block found at " + std::to_string(c.root) + "\ndetected a fast amiga filesystem\n" +
                            check_trace(chain, 127) + "bitmap check: \n");
    }
}

TEST(Format, VolumeBeyond2TiB)
{
    // 2^29 + 16 blocks of 4096 bytes: 16401 bitmap blocks and 17 extension blocks
    const std::string image = e2e::sparse_image("large.img", (std::uint64_t(1) << 41) + (1 << 16));
    expect_run(format({"-s", "4096"}, image, "Large").run, 0,
               "blocks: 536870928\nblocksize: 4096\nreserved blocks: 2\nrootblock: 268435464\n");
    const Chain chain = fresh_chain(268435464, 16401, 1023);
    ASSERT_EQ(chain.exts.size(), 17u);
    expect_long_run(e2e::vistrel({"-vv", image}), 0,
                    "root block found at 268435464\ndetected a fast amiga filesystem\n" + check_trace(chain, 1023) +
                        "bitmap check: \n");
    unlink(image.c_str());  // its bitmap takes 64 MiB of disk
}

TEST(Format, RefusalsLeaveTheImageAlone)
{
    const std::string dir = e2e::temp_path("dir"), missing = e2e::temp_path("missing.img");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    auto outside_of = [&](const std::string &number) {
        return "plandor: root block " + number + " is not within blocks 2 to 1759 of the volume\n";
    };
    const struct {
        const char *label;
        std::size_t bytes;
        std::vector<std::string> args;  // IMG, MISSING and DIR stand for those paths
        int status;
        std::string out, err;
    } cases[] = {
        {"no arguments", 901120, {}, 64, "", usage},
        {"no name", 901120, {"IMG"}, 64, "", usage},
        {"three arguments", 901120, {"IMG", "a", "b"}, 64, "", usage},
        {"size 768", 901120, {"-s", "768", "IMG", "n"}, 1, "plandor: invalid block size 768\n", ""},
        {"size in letters", 901120, {"-s", "abc", "IMG", "n"}, 1, "plandor: invalid block size 0\n", ""},
        {"size refused before the open", 0, {"-s", "768", "MISSING", "n"}, 1, "plandor: invalid block size 768\n", ""},
        {"missing path", 0, {"MISSING", "n"}, 1, "", "open: No such file or directory\n"},
        {"directory", 0, {"DIR", "n"}, 1, "", "open: Is a directory\n"},
        {"character device", 0, {"/dev/null", "n"}, 1, "plandor: '/dev/null' isn't a valid device\n", ""},
        {"empty image", 0, {"IMG", "n"}, 1,
         "plandor: volume of 0 blocks cannot hold 2 reserved blocks and a root block\n", ""},
        {"every block reserved", 901120, {"-r", "1760", "IMG", "n"}, 1,
         "plandor: volume of 1760 blocks cannot hold 1760 reserved blocks and a root block\n", ""},
        {"no room for the bitmap", 1536, {"IMG", "n"}, 1,
         "plandor: volume of 3 blocks is too small for its root block and 1 bitmap blocks\n", ""},
        {"root in block 0", 1024, {"-r", "0", "IMG", "n"}, 1,
         "plandor: volume of 2 blocks has no room for a root block after block 0\n", ""},
        {"given root 0", 901120, {"-b", "0", "IMG", "n"}, 1, outside_of("0"), ""},
        {"given root reserved", 901120, {"-b", "1", "IMG", "n"}, 1, outside_of("1"), ""},
        {"given root past the end", 901120, {"-b", "1760", "IMG", "n"}, 1, outside_of("1760"), ""},
        {"given root beyond 32 bits", 901120, {"-b", "4294968176", "IMG", "n"}, 1,
         "plandor: number '4294968176' does not fit in 32 bits\n", ""},
        {"given root in letters", 901120, {"-b", "abc", "IMG", "n"}, 1, outside_of("0"), ""},
        {"given root 0 without reserved blocks", 901120, {"-r", "0", "-b", "0", "IMG", "n"}, 1,
         "plandor: root block 0 is not within blocks 1 to 1759 of the volume\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::vector<std::uint8_t> before = pattern(c.bytes);
        const std::string image = write_image(before);
        std::vector<std::string> args;
        for (const std::string &a : c.args)
            args.push_back(a == "IMG" ? image : a == "MISSING" ? missing : a == "DIR" ? dir : a);
        expect_run(e2e::plandor(args), c.status, c.out, c.err);
        EXPECT_EQ(e2e::read_file(image), before);
        EXPECT_FALSE(e2e::exists(missing));
    }
}

TEST(Format, DevicesTooLargeForTheBlockSize)
{
    const struct {
        std::uint64_t bytes;
        std::vector<std::string> options;
        const char *out;
    } cases[] = {
        {(std::uint64_t(1) << 41) + 512, {},
         "plandor: device has 4294967297 blocks of 512 bytes, more than a volume can hold; "
         "use a block size of 1024 bytes or more\n"},
        {(std::uint64_t(1) << 43) + 4096, {"-s", "1024"},
         "plandor: device has 8589934596 blocks of 1024 bytes, more than a volume can hold; "
         "use a block size of 4096 bytes or more\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string image = e2e::sparse_image("toolarge.img", c.bytes);
        expect_run(format(c.options, image, "Big").run, 1, c.out);
        struct stat status;
        ASSERT_EQ(stat(image.c_str(), &status), 0);
        EXPECT_EQ(status.st_blocks, 0);  // nothing was written
        EXPECT_EQ(std::uint64_t(status.st_size), c.bytes);
    }
}

}  // namespace
