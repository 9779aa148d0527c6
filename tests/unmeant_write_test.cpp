// Writes the user did not mean: a format over data, a write over the
// partition table, a restore with options it ignores or onto another device,
// hostile undo files, names that would reach a terminal raw, partition
// names that name two partitions, and a wrong reserved count.  Every refusal
// leaves the image exactly as it was.
#include "e2e.h"
#include "rdbimage.h"
#include "volbuilder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Args = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t MiB = 1 << 20;

std::string written(tv::Volume &v, const std::string &name)
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

// a volume named `name` with a few files, a directory and one run of them
std::string populated(const std::string &name, std::uint32_t reserved = 2)
{
    tv::VolumeSetup setup;
    setup.name = name;
    setup.reserved_blocks = reserved;
    tv::Volume v(setup);
    for (int i = 0; i < 6; ++i)
        v.add_file(v.root(), e2e::numbered("f", std::uint64_t(i)), 3000);
    std::uint32_t d = v.add_dir(v.root(), "d");
    v.add_file(d, "g", 20000);
    v.finish();
    return written(v, name + ".adf");
}

// Runs `tool` (a command line without its path) as a test of the builder's
// environment: empty when it is missing or fails.
bool made_by(const std::string &program, const Args &args)
{
    if (!e2e::exists(program))
        return false;
    return e2e::run(program, args).status == 0;
}

TEST(FormatOverData, RefusedUnlessForced)
{
    struct Row {
        const char *name;
        std::string image;  // empty: the tool that makes it is missing
        std::string out;    // after "plandor: 'IMAGE' "
    };
    std::vector<Row> rows;
    rows.push_back({"Amiga volume", populated("Work"), "holds the Amiga volume \"Work\"; -f formats over it\n"});
    rdb::Table t;
    t.rdsk_sector = 2, t.first_part = 3;
    t.parts = {rdb::Part{}};
    rows.push_back({"builder's RDB", rdb::image("rdb.img", 4 * MiB, t),
                    "holds a partition table (RDSK at sector 2); -p PART formats one of its partitions\n"});
    std::string parted = e2e::sparse_image("parted.img", 16 * MiB);
    if (!made_by("/usr/sbin/parted", {"-s", parted, "mklabel", "amiga", "mkpart", "DH0", "1MiB", "15MiB"}))
        parted.clear();
    rows.push_back({"parted's RDB", parted,
                    "holds a partition table (RDSK at sector 2); -p PART formats one of its partitions\n"});
    std::string fat = e2e::sparse_image("fat.img", 4 * MiB);
    if (!made_by("/usr/sbin/mkfs.fat", {fat}) && !made_by("/sbin/mkfs.fat", {fat}))
        fat.clear();
    rows.push_back({"FAT", fat, "holds a vfat filesystem; -f formats over it\n"});
    std::string ext2 = e2e::sparse_image("ext2.img", 4 * MiB);
    if (!made_by("/usr/sbin/mkfs.ext2", {"-q", "-F", ext2}) && !made_by("/sbin/mkfs.ext2", {"-q", "-F", ext2}))
        ext2.clear();
    rows.push_back({"ext2", ext2, "holds an ext2 filesystem; -f formats over it\n"});
    std::string mbr = e2e::sparse_image("mbr.img", 4 * MiB);
    {
        // one DOS partition entry and the boot signature
        Bytes sector(512);
        sector[446 + 4] = 0x83, sector[446 + 8] = 0x08, sector[446 + 12] = 0x10;
        sector[510] = 0x55, sector[511] = 0xAA;
        rdb::pwrite_all(mbr, 0, sector);
    }
    rows.push_back({"MBR", mbr, "holds a dos partition table; -f formats over it\n"});

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.image.empty()) {
            ADD_FAILURE() << "the tool that makes this image is missing (see README)";
            continue;
        }
        Bytes before = e2e::read_file(row.image);
        std::string undo = e2e::temp_path("undo");
        e2e::Run refused = e2e::plandor({"-z", undo, row.image, "New"});
        EXPECT_EQ(refused.out, "plandor: '" + row.image + "' " + row.out);
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(e2e::read_file(row.image) == before);
        EXPECT_FALSE(e2e::exists(undo));
    }
    // forced, over a filesystem (an RDB's own blocks stay refused: below)
    e2e::Run forced = e2e::plandor({"-f", rows[0].image, "New"});
    EXPECT_EQ(forced.status, 0) << forced.out;
    EXPECT_EQ(e2e::vistrel({"-n", rows[0].image}).out, "detected a fast amiga filesystem\n");
    // zeros and random bytes are nothing to keep
    std::string zeros = e2e::sparse_image("zeros.adf", 901120);
    EXPECT_EQ(e2e::plandor({zeros, "New"}).status, 0);
    Bytes noise(901120);
    std::uint32_t x = 12345;
    for (auto &b : noise)
        b = std::uint8_t((x = x * 1103515245 + 12345) >> 24);
    std::string random = e2e::temp_path("random.adf");
    write_file(random, noise);
    EXPECT_EQ(e2e::plandor({random, "New"}).status, 0);
}

// -p looks at the partition's bytes alone
TEST(FormatOverData, OnePartition)
{
    rdb::Table t;
    rdb::Part first, second;
    second.name = "Work", second.low_cyl = 66, second.high_cyl = 129;
    t.parts = {first, second};
    std::string image = rdb::image("parts.hdf", 5 * MiB, t);
    ASSERT_EQ(e2e::plandor({"-p", "work", image, "Old"}).status, 0);
    EXPECT_EQ(e2e::plandor({"-p", "1", image, "New"}).status, 0);
    Bytes before = e2e::read_file(image);
    e2e::Run again = e2e::plandor({"-p", "work", image, "New"});
    EXPECT_EQ(again.out, "plandor: partition work of '" + image + "' holds the Amiga volume \"Old\"; -f formats over it\n");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(e2e::read_file(image) == before);
    EXPECT_EQ(e2e::plandor({"-f", "-p", "work", image, "New"}).status, 0);
}

// A table whose partition starts at byte 0: the RDSK (sector 2) and the PART
// block (sector 3) lie inside the volume.  Its bitmap names the RDSK's
// sector as a bitmap block: the RDSK sums to 0 and passes as one.
struct TableInsideVolume {
    std::string image;
    Bytes before;
    TableInsideVolume(std::uint32_t bitmap_block, std::uint32_t blocks_hi = 0)
    {
        rdb::Table t;
        t.rdsk_sector = 2, t.first_part = 3;
        rdb::Part p;
        p.low_cyl = 0, p.high_cyl = 27;  // 1792 blocks of 512 bytes
        t.parts = {p};
        image = rdb::image("inside.hdf", 2 * MiB, t);
        tv::VolumeSetup setup;
        setup.total_blocks = 1792;
        tv::Volume v(setup);
        v.add_file(v.root(), "a", 3000);
        v.finish();
        rdb::place_volume(image, 0, v);
        rdb::write(image, t);
        if (blocks_hi != 0)
            rdb::patch(image, 2 * 512, 132, blocks_hi);
        if (bitmap_block != 0) {
            std::uint32_t root = v.root();
            rdb::pwrite_all(image, std::uint64_t(root) * 512 + tv::off::bitmap_pages(512),
                            {0, 0, std::uint8_t(bitmap_block >> 8), std::uint8_t(bitmap_block)});
            Bytes block = e2e::read_range(image, std::uint64_t(root) * 512, 512);
            tv::seal_block(block.data(), 512, 5);
            rdb::pwrite_all(image, std::uint64_t(root) * 512, block);
        }
        before = e2e::read_file(image);
    }
};

TEST(TableGuard, NoWriteTouchesThePartitionTable)
{
    struct Row {
        const char *name;
        std::uint32_t bitmap_block, blocks_hi;
        Args args;
        std::string out;
    };
    const Row rows[] = {
        {"bitmap on the RDSK", 2, 0, {"-w", "-p", "1"},
         "detected a fast amiga filesystem\n"
         "vistrel: block 2 lies on the partition table's RDSK block (bytes 1024 to 1535); nothing written\n"},
        {"bitmap on the PART block, with an undo file", 3, 0, {"-w", "-p", "1", "-z", "UNDO"},
         "detected a fast amiga filesystem\n"
         "vistrel: block 3 lies on the partition table's PART block (bytes 1536 to 2047); nothing written\n"},
        {"root inside RDBBlocksLo to RDBBlocksHi", 0, 1000, {"-c", "-p", "1"},
         "vistrel: block 896 lies on the partition table's blocks from RDBBlocksLo to RDBBlocksHi (bytes 0 to "
         "512511); nothing written\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TableInsideVolume disk(row.bitmap_block, row.blocks_hi);
        std::string undo = e2e::temp_path("undo");
        Args args;
        for (const std::string &a : row.args)
            args.push_back(a == "UNDO" ? undo : a);
        args.push_back(disk.image);
        e2e::Run run = e2e::vistrel(args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(e2e::read_file(disk.image) == disk.before);
        EXPECT_FALSE(e2e::exists(undo));
    }
}

// plandor -f over a whole disk with a table writes its block 0 over the
// RDSK's reserved blocks: refused before the first write
TEST(TableGuard, ForcedFormatOverTheWholeDisk)
{
    rdb::Table t;
    t.parts = {rdb::Part{}};
    std::string image = rdb::image("whole.hdf", 4 * MiB, t);
    Bytes before = e2e::read_file(image);
    e2e::Run run = e2e::plandor({"-f", image, "All"});
    EXPECT_EQ(run.out, "blocks: 8192\nblocksize: 512\nreserved blocks: 2\nrootblock: 4096\n"
                       "plandor: block 0 lies on the partition table's RDSK block (bytes 0 to 511); nothing written\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(e2e::read_file(image) == before);
}

TEST(Restore, RefusedOptionsAndFiles)
{
    std::string image = populated("R");
    std::string undo = e2e::temp_path("undo");
    ASSERT_EQ(e2e::vistrel({"-c", "-z", undo, image}).status, 0);
    Bytes before = e2e::read_file(image);
    std::string fifo = e2e::temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string folder = e2e::temp_path("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string options = "vistrel: --restore takes no -p, -b, -s or -r: the undo file knows where the "
                                "volume lies\n";
    struct Row {
        Args args;
        std::string out;
    };
    const Row rows[] = {
        {{"-p", "1", "--restore=" + undo}, options},
        {{"-b", "880", "--restore=" + undo}, options},
        {{"-s", "512", "--restore=" + undo}, options},
        {{"--restore=" + undo, "-r", "2"}, options},
        // a FIFO would block the open for ever
        {{"--restore=" + fifo}, "vistrel: undo file '" + fifo + "' is not a regular file\n"},
        {{"--restore=" + folder}, "vistrel: undo file '" + folder + "' is not a regular file\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0]);
        Args args = row.args;
        args.push_back(image);
        e2e::Run run = e2e::vistrel(args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(e2e::read_file(image) == before);
    }
}

// The undo file knows its device: a copy of the volume is another one
TEST(Restore, OnlyOntoItsOwnDevice)
{
    std::string image = populated("Own");
    Bytes original = e2e::read_file(image);
    std::string undo = e2e::temp_path("undo");
    ASSERT_EQ(e2e::vistrel({"-c", "-z", undo, image}).status, 0);
    std::string copy = e2e::temp_path("copy.adf");
    Bytes changed = e2e::read_file(image);
    write_file(copy, changed);
    const std::string other = "vistrel: undo file '" + undo + "' was written for '" + image + "', which is not '" +
                              copy + "'\n";
    e2e::Run refused = e2e::vistrel({"--restore=" + undo, copy});
    EXPECT_EQ(refused.out, other + "vistrel: nothing restored (-f restores anyway)\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(e2e::read_file(copy) == changed);
    e2e::Run forced = e2e::vistrel({"-f", "--restore=" + undo, copy});
    EXPECT_EQ(forced.out, other + "restored 1 of 1 blocks\n");
    EXPECT_EQ(forced.status, 0);
    EXPECT_TRUE(e2e::read_file(copy) == original);
    // its own device, by another path
    std::string folder = image.substr(0, image.rfind('/'));
    e2e::Run own = e2e::vistrel({"--restore=" + undo, folder + "/./" + image.substr(folder.size() + 1)});
    EXPECT_EQ(own.out, "restored 1 of 1 blocks\n");
    EXPECT_TRUE(e2e::read_file(image) == original);
}

// 64-bit FNV-1a, as the undo file's checks
std::uint64_t fnv(std::uint64_t hash, const std::uint8_t *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

// An undo file of many valid records for one block is damaged, not a
// reason to hold them all
TEST(Restore, EndlessRecordsAreDamage)
{
    std::string image = populated("Many");
    std::string undo = e2e::temp_path("undo");
    ASSERT_EQ(e2e::vistrel({"-c", "-z", undo, image}).status, 0);
    Bytes file = e2e::read_file(undo);
    Bytes before = e2e::read_file(image);
    std::uint64_t seed = 0;
    for (int i = 0; i < 8; ++i)
        seed = seed << 8 | file[40 + i];
    file.resize(file.size() - 24);  // the end record
    for (int n = 0; n < 20; ++n) {
        Bytes record(24);
        tv::put_be32(&record[0], 880);
        tv::put_be32(&record[4], 1);
        record[15] = std::uint8_t(n);
        std::uint64_t check = fnv(seed, record.data(), 16);
        for (int i = 0; i < 8; ++i)
            record[16 + i] = std::uint8_t(check >> (56 - 8 * i));
        file.insert(file.end(), record.begin(), record.end());
    }
    rdb::pwrite_all(undo, 0, file);
    e2e::Run run = e2e::vistrel({"--restore=" + undo, image});
    EXPECT_EQ(run.out, "vistrel: undo file '" + undo + "' is damaged (too many records for block 880)\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(e2e::read_file(image) == before);
}

std::uint64_t get_quad(const Bytes &b, std::size_t at)
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | b[at + std::size_t(i)];
    return value;
}

void put_quad(Bytes &b, std::size_t at, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        b[at + std::size_t(i)] = std::uint8_t(value >> (56 - 8 * i));
}

// An undo file of the earlier layout ("AMIUNDO1", no identity) is still
// restored, onto any file of the size
TEST(Restore, FileOfAnEarlierVersion)
{
    std::string image = populated("Early");
    Bytes original = e2e::read_file(image);
    std::string undo = e2e::temp_path("undo");
    ASSERT_EQ(e2e::vistrel({"-w", "-c", "-z", undo, image}).status, 0);
    Bytes now = e2e::read_file(undo);
    // the same file in the earlier layout: no identity part, every check
    // made again from the new header's
    std::size_t path = tv::get_be32(&now[52]);
    std::size_t identity = 24 + (path + 7) / 8 * 8 + 8;
    Bytes old(now.begin(), now.begin() + 48);
    old.insert(old.end(), now.begin() + std::ptrdiff_t(48 + identity), now.end());
    old[7] = '1';
    std::uint64_t seed = fnv(14695981039346656037ull, old.data(), 40);
    put_quad(old, 40, seed);
    std::size_t at = 48;
    for (std::uint32_t i = 0; i < tv::get_be32(&old[12]); ++i, at += 512 + 16)
        put_quad(old, at + 512 + 8, fnv(seed, &old[at], 512 + 8));
    for (; at + 24 <= old.size(); at += 24)
        put_quad(old, at + 16, fnv(seed, &old[at], 16));
    ASSERT_EQ(get_quad(now, 40) == seed, false);
    write_file(undo, old);

    std::string copy = e2e::temp_path("copy.adf");
    write_file(copy, e2e::read_file(image));
    e2e::Run run = e2e::vistrel({"--restore=" + undo, copy});
    EXPECT_EQ(run.out, "restored 1 of 1 blocks\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(e2e::read_file(copy) == original);
}

// A name and a comment that would clear the terminal and retitle it
TEST(TerminalNames, ControlCharactersMaskedOnATerminalOnly)
{
    const char *script = "/usr/bin/script";
    tv::Volume v;
    const std::string hostile = "x\x1b[2J\x1b]0;OWNED\x07\x9b" "1";
    tv::Opts o;
    o.comment = "c\x1b[31m\x7f";
    v.add_file(v.root(), hostile, 10, o);
    v.finish();
    std::string image = written(v, "hostile.adf");

    e2e::Run piped = e2e::vistrel({"-v", image});
    EXPECT_NE(piped.out.find(hostile), std::string::npos) << "a pipe gets the bytes as stored";
    EXPECT_NE(piped.out.find("c\x1b[31m\x7f\n"), std::string::npos);

    if (!e2e::exists(script))
        GTEST_SKIP() << "script(1) of util-linux is not installed";
    e2e::Run tty = e2e::run(script, {"-q", "-e", "-c", std::string(VISTREL_PATH) + " -v " + image, "/dev/null"});
    EXPECT_EQ(tty.status, 0) << tty.out << tty.err;
    EXPECT_EQ(tty.out.find('\x1b'), std::string::npos) << tty.out;
    EXPECT_EQ(tty.out.find('\x07'), std::string::npos);
    EXPECT_NE(tty.out.find("x?[2J?]0;OWNED??1"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("c?[31m?\r\n"), std::string::npos) << tty.out;
}

TEST(PartitionNames, AmbiguousEmptyAndAbsurd)
{
    rdb::Table t;
    rdb::Part a, b, c;
    a.name = "DH0";
    b.name = "dh0", b.low_cyl = 66, b.high_cyl = 129;
    c.name = "Odd", c.low_cyl = 130, c.high_cyl = 131, c.reserved = 128;  // 128 blocks, all reserved
    t.parts = {a, b, c};
    std::string image = rdb::image("names.hdf", 5 * MiB, t);
    Bytes before = e2e::read_file(image);
    struct Row {
        bool formatter;
        Args args;
        std::string out;
    };
    const std::string ambiguous =
        "partition name dh0 is ambiguous: partitions 1 (DH0) and 2 (dh0); give its number\n";
    const Row rows[] = {
        {false, {"-n", "-p", "dh0"}, "vistrel: " + ambiguous},
        {true, {"-p", "dh0"}, "plandor: " + ambiguous},
        {false, {"-n", "-p", ""}, "vistrel: -p takes a partition's number or drive name, not an empty text\n"},
        {true, {"-p", ""}, "plandor: -p takes a partition's number or drive name, not an empty text\n"},
        {false, {"-n", "-p", "odd"}, "vistrel: partition 3 (Odd) reserves 128 blocks of its 128\n"},
        {true, {"-p", "3"}, "plandor: partition 3 (Odd) reserves 128 blocks of its 128\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[row.args.size() - 1]);
        Args args = row.args;
        args.push_back(image);
        if (row.formatter)
            args.push_back("X");
        e2e::Run run = row.formatter ? e2e::plandor(args) : e2e::vistrel(args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_TRUE(e2e::read_file(image) == before);
}

// A volume formatted with 2 reserved blocks, checked with -r 3 or -r 1
TEST(ReservedFit, WrongCountRefusedUnlessForced)
{
    std::string image = populated("Fit");
    Bytes before = e2e::read_file(image);
    for (const char *wrong : {"3", "1", "6"}) {
        SCOPED_TRACE(wrong);
        e2e::Run run = e2e::vistrel({"-w", "-r", wrong, image});
        EXPECT_EQ(run.out, std::string("detected a fast amiga filesystem\n"
                                       "vistrel: the bitmap fits 2 reserved blocks better than ") +
                               wrong + "; check -r\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(e2e::read_file(image) == before);
    }
    // the right count is written, and a wrong one when forced
    std::string other = populated("Fit2", 3);
    e2e::Run right = e2e::vistrel({"-w", "-r", "3", other});
    EXPECT_EQ(right.status, 0) << right.out;
    EXPECT_EQ(e2e::vistrel({"-w", "-f", "-r", "3", image}).status, 0);
}

}  // namespace
