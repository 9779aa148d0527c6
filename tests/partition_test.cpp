// Partition tables: both programs on one partition of a Rigid Disk Block
// disk, on tables written by GNU parted and on tables from the test
// builder, and every kind of hostile table.
#include "e2e.h"
#include "rdbimage.h"
#include "volbuilder.h"
#include "volume.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *const parted = "/usr/sbin/parted";
constexpr uint64_t MiB = 1 << 20;

// The image's bytes outside [first, end) are those of `before`.
void expect_outside_unchanged(const std::vector<uint8_t> &before, const std::string &image, uint64_t first,
                              uint64_t end)
{
    std::vector<uint8_t> after = e2e::read_file(image);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + long(first), after.begin())) << "bytes before changed";
    EXPECT_TRUE(std::equal(before.begin() + long(end), before.end(), after.begin() + long(end)))
        << "bytes after changed";
}

std::string geometry(uint32_t blocks, uint32_t size, uint32_t reserved, uint32_t root)
{
    return "blocks: " + std::to_string(blocks) + "\nblocksize: " + std::to_string(size) +
           "\nreserved blocks: " + std::to_string(reserved) + "\nrootblock: " + std::to_string(root) + "\n";
}

// A table of parted: three partitions, DosType patched where parted leaves
// its own and the PART blocks sealed again.
struct PartedDisk {
    std::string image, why_not;
    explicit PartedDisk(bool patch_types)
    {
        if (!e2e::exists(parted)) {
            why_not = "GNU parted is not installed (apt-get install parted)";
            return;
        }
        image = e2e::sparse_image("parted.img", 32 * MiB);
        e2e::Run r = e2e::run(parted, {"-s", image, "mklabel", "amiga", "mkpart", "DH0", "1MiB", "9MiB", "mkpart",
                                       "DH1", "9MiB", "17MiB", "mkpart", "Work", "17MiB", "31MiB"});
        if (r.status != 0) {
            why_not = "parted failed: " + r.out + r.err;
            return;
        }
        if (patch_types) {
            // parted puts its RDSK in sector 2 and the PART blocks behind it
            const uint32_t types[3] = {tv::kDos1, tv::kDos0 + 3, tv::kDos0};
            for (uint32_t i = 0; i < 3; ++i) rdb::patch(image, (3 + i) * 512, 192, types[i]);
        }
    }
};

TEST(PartedTable, ListedAsParted)
{
    PartedDisk disk(false);
    if (disk.image.empty()) GTEST_SKIP() << disk.why_not;
    // parted's own view of the same table, in bytes
    e2e::Run own = e2e::run(parted, {"-s", disk.image, "unit", "B", "print"});
    EXPECT_NE(own.out.find("1048576B"), std::string::npos) << own.out;
    EXPECT_NE(own.out.find("9437183B"), std::string::npos) << own.out;
    const std::string table = "partition name dostype first-byte last-byte blocksize reserved flags\n"
                              "1 DH0 LNX\\0 1048576 9437183 512 2 -\n"
                              "2 DH1 LNX\\0 9437184 17825791 512 2 -\n"
                              "3 Work LNX\\0 17825792 32505855 512 2 -\n";
    for (const char *program : {VISTREL_PATH, PLANDOR_PATH}) {
        e2e::Run r = e2e::run(program, {"--partitions", disk.image});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, table);
    }
    // parted's type names no filesystem: the checker leaves it alone
    std::vector<uint8_t> before = e2e::read_file(disk.image);
    e2e::Run check = e2e::vistrel({"-p", "dh1", disk.image});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "vistrel: partition 2 (DH1) holds a LNX\\0 filesystem, which is not checked\n");
    EXPECT_TRUE(e2e::read_file(disk.image) == before);
}

// The types of parted's tables, "LNX\0" (mkpart without a type) and 0
// (affs1), name no filesystem: the formatter writes its own DOS type into
// the PART block, which the undo file takes back.  Other filesystems' types
// only with -f.
TEST(PartedTable, FormatterSetsTheDosType)
{
    if (!e2e::exists(parted)) GTEST_SKIP() << "GNU parted is not installed (apt-get install parted)";
    std::string image = e2e::sparse_image("parted-types.img", 32 * MiB);
    e2e::Run made = e2e::run(parted, {"-s", image, "mklabel", "amiga", "mkpart", "DH0", "1MiB", "9MiB", "mkpart",
                                      "DH1", "affs1", "9MiB", "17MiB", "mkpart", "Work", "17MiB", "31MiB"});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    // the third gets another filesystem's type
    rdb::patch(image, 5 * 512, 192, rdb::kPfs3);
    const std::vector<uint8_t> before = e2e::read_file(image);
    struct Case {
        std::vector<std::string> options;
        const char *which, *name, *old_text, *new_text, *detected;
        uint32_t new_type;
        uint64_t part_block;
    };
    const Case cases[] = {
        {{}, "1", "DH0", "LNX\\0", "DOS\\1", "fast", tv::kDos1, 3 * 512},
        {{"-i"}, "2", "DH1", "\\0\\0\\0\\0", "DOS\\3", "international fast", tv::kDos0 + 3, 4 * 512},
        {{"-f", "-o"}, "3", "Work", "PFS\\3", "DOS\\0", "old", tv::kDos0, 5 * 512},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.which);
        const std::string undo = e2e::temp_path(std::string("retype") + c.which + ".undo");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-v", "-z", undo, "-p", c.which, image, "Vol"});
        e2e::Run format = e2e::plandor(args);
        EXPECT_EQ(format.status, 0);
        const std::string retyped = "partition " + std::string(c.which) + " (" + c.name + "): DOS type " +
                                    c.old_text + " becomes " + c.new_text +
                                    " in its PART block at byte " + std::to_string(c.part_block) + "\n";
        EXPECT_NE(format.out.find("the undo file holds the partition table's block too, as block " +
                                  std::to_string(c.part_block / 512) + " of the device\n"),
                  std::string::npos) << format.out;
        EXPECT_TRUE(format.out.size() >= retyped.size() &&
                    format.out.compare(format.out.size() - retyped.size(), retyped.size(), retyped) == 0)
            << format.out;
        EXPECT_EQ(e2e::read_be32(image, c.part_block + 192), c.new_type);
        e2e::Run check = e2e::vistrel({"-n", "-p", c.which, image});
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(check.out, "detected a " + std::string(c.detected) + " amiga filesystem\n");
        // parted still reads the resealed table
        EXPECT_EQ(e2e::run(parted, {"-s", image, "print"}).status, 0);
        // the restore puts the old type back, and the volume's blocks
        e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
        EXPECT_EQ(restore.status, 0) << restore.out;
        EXPECT_TRUE(e2e::read_file(image) == before) << "the restore left changes";
    }
    // without -f another filesystem's partition is left alone
    e2e::Run refused = e2e::plandor({"-p", "3", image, "Vol"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "plandor: partition 3 (Work) is for a PFS\\3 filesystem; nothing written\n");
    EXPECT_TRUE(e2e::read_file(image) == before);
}

TEST(PartedTable, FormatEachPartitionAndCheckIt)
{
    PartedDisk disk(true);
    if (disk.image.empty()) GTEST_SKIP() << disk.why_not;
    struct Case {
        const char *which;
        uint64_t first, end;
        std::string formatted, detected;
        uint32_t dos_type;
    };
    const Case cases[] = {
        {"1", 1 * MiB, 9 * MiB, geometry(16384, 512, 2, 8192), "detected a fast amiga filesystem\n", tv::kDos1},
        {"dh1", 9 * MiB, 17 * MiB, geometry(16384, 512, 2, 8192),
         "detected a international fast amiga filesystem\n", tv::kDos0 + 3},
        {"WORK", 17 * MiB, 31 * MiB, geometry(28672, 512, 2, 14336), "detected a old amiga filesystem\n", tv::kDos0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.which);
        std::vector<uint8_t> before = e2e::read_file(disk.image);
        e2e::Run format = e2e::plandor({"-p", c.which, disk.image, "Part"});
        EXPECT_EQ(format.status, 0);
        EXPECT_EQ(format.out, c.formatted);
        expect_outside_unchanged(before, disk.image, c.first, c.end);
        // block 0 of the volume is the partition's first block
        EXPECT_EQ(e2e::read_be32(disk.image, c.first), c.dos_type);

        e2e::Run check = e2e::vistrel({"-n", "-p", c.which, disk.image});
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(check.out, c.detected);
    }
    // the whole disk is no volume; the failed search says where to look
    e2e::Run whole = e2e::vistrel({"-n", disk.image});
    EXPECT_EQ(whole.status, 1);
    EXPECT_EQ(whole.out, "vistrel: unable to find root block\n"
                         "vistrel: the device has a partition table: --partitions lists it, -p PART checks one "
                         "partition\n");
}

// An SD card of an Amiga accelerator: a PC partition table (MBR, made with
// sfdisk) whose partition of type 0x76 holds a table of parted.  Everything
// counts from the MBR partition's start.
TEST(MbrTable, AmigaTableInsideType76)
{
    const char *sfdisk = "/usr/sbin/sfdisk";
    if (!e2e::exists(parted)) GTEST_SKIP() << "GNU parted is not installed (apt-get install parted)";
    if (!e2e::exists(sfdisk)) GTEST_SKIP() << "sfdisk is not installed (apt-get install fdisk)";
    const std::string image = e2e::sparse_image("sd.img", 64 * MiB), inner = e2e::sparse_image("rdb.img", 40 * MiB);
    e2e::Run mbr = e2e::run("/bin/sh", {"-c", "printf 'start=2048, size=32768, type=c\\nstart=34816, size=81920, "
                                              "type=76\\n' | " + std::string(sfdisk) + " -q " + image});
    ASSERT_EQ(mbr.status, 0) << mbr.out << mbr.err;
    e2e::Run rdb = e2e::run(parted, {"-s", inner, "mklabel", "amiga", "mkpart", "DH0", "1MiB", "17MiB", "mkpart",
                                     "Work", "17MiB", "39MiB"});
    ASSERT_EQ(rdb.status, 0) << rdb.out << rdb.err;
    const uint64_t base = 34816 * 512ull;
    for (const auto &[at, bytes] : e2e::sparse_data(inner)) rdb::pwrite_all(image, base + at, bytes);
    const std::vector<uint8_t> before = e2e::read_file(image);

    const std::string located = "MBR partition 2 of type 0x76 at bytes 17825792 to 59768831\n"
                                "partition table at sector 2\n";
    e2e::Run listed = e2e::vistrel({"-v", "--partitions", image});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out, located + "partition name dostype first-byte last-byte blocksize reserved flags\n"
                                     "1 DH0 LNX\\0 18874368 35651583 512 2 -\n"
                                     "2 Work LNX\\0 35651584 58720255 512 2 -\n");
    const std::string undo = e2e::temp_path("sd.undo");
    e2e::Run format = e2e::plandor({"-z", undo, "-p", "work", image, "Work"});
    EXPECT_EQ(format.status, 0);
    EXPECT_EQ(format.out, geometry(45056, 512, 2, 22528));
    // the PART block of Work is block 4 of the table
    expect_outside_unchanged(before, image, base + 4 * 512, base + 39 * MiB);
    std::vector<uint8_t> after = e2e::read_file(image);
    EXPECT_TRUE(std::equal(after.begin() + long(base + 5 * 512), after.begin() + long(base + 17 * MiB),
                           before.begin() + long(base + 5 * 512)))
        << "bytes between the table and the partition changed";
    EXPECT_EQ(e2e::read_be32(image, base + 17 * MiB), tv::kDos1);  // block 0 of the volume
    EXPECT_EQ(e2e::read_be32(image, base + 4 * 512 + 192), tv::kDos1);  // the PART block
    e2e::Run check = e2e::vistrel({"-v", "-p", "2", image});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, located + "partition 2 (Work) at bytes 35651584 to 58720255\nroot block found at 22528\n"
                                   "detected a fast amiga filesystem\n");
    // the whole card is no volume; the search says where to look
    e2e::Run whole = e2e::vistrel({"-n", image});
    EXPECT_EQ(whole.out, "vistrel: unable to find root block\n"
                         "vistrel: the device has a partition table: --partitions lists it, -p PART checks one "
                         "partition\n");
    e2e::Run restore = e2e::vistrel({"--restore=" + undo, image});
    EXPECT_EQ(restore.status, 0) << restore.out;
    EXPECT_TRUE(e2e::read_file(image) == before);

    // faulty MBR entries of type 0x76: one message, status 1
    struct Case {
        uint32_t start, sectors;
        bool rdsk;
        std::string out;
    };
    const Case cases[] = {
        {34816, 200000, true, "MBR partition 2 of type 0x76 (sectors 34816 to 234815) is empty or lies past the end "
                              "of the device (67108864 bytes)\n"},
        {0, 100, true, "MBR partition 2 of type 0x76 (sectors 0 to 99) is empty or lies past the end of the device "
                       "(67108864 bytes)\n"},
        {2048, 1000, true, "no partition table (RDSK block) in the first 16 sectors of MBR partition 2 (type 0x76)\n"},
        // the RDB's partitions must fit the MBR partition
        {34816, 60000, true, "partition 2 (Work): last byte 40894463 lies past the end of the device (30720000 "
                             "bytes)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        std::vector<uint8_t> sector0 = e2e::read_range(image, 0, 512);
        uint8_t *entry = &sector0[446 + 16];
        for (int k = 0; k < 4; ++k) {  // little-endian
            entry[8 + k] = uint8_t(c.start >> (8 * k));
            entry[12 + k] = uint8_t(c.sectors >> (8 * k));
        }
        rdb::pwrite_all(image, 0, sector0);
        e2e::Run listing = e2e::vistrel({"--partitions", image});
        EXPECT_EQ(listing.status, 1);
        EXPECT_EQ(listing.out, "vistrel: " + c.out);
        e2e::Run format = e2e::plandor({"-p", "1", image, "Vol"});
        EXPECT_EQ(format.status, 1);
        EXPECT_EQ(format.out, "plandor: " + c.out);
    }
}

// A table of the builder: the RDSK away from block 0, partitions of every
// block size, reserved blocks other than 2, flags, and a PFS\3 partition.
rdb::Table mixed_table()
{
    rdb::Table t;
    t.rdsk_sector = 7;
    t.first_part = 8;
    rdb::Part a;  // 2 MiB of 512-byte blocks, bootable
    a.flags = 1;
    rdb::Part b = a;  // 1024-byte blocks, 4 reserved, no-mount
    b.name = "DH1", b.flags = 2, b.sector_per_block = 2, b.reserved = 4, b.dos_type = tv::kDos0 + 3;
    b.low_cyl = 66, b.high_cyl = 129;
    rdb::Part c = a;  // 4096-byte blocks of one 4096-byte sector, 1 reserved, dircache
    c.name = "Big Disk", c.flags = 3, c.size_block = 1024, c.blocks_per_track = 4, c.reserved = 1;
    c.dos_type = tv::kDos0 + 5, c.low_cyl = 130, c.high_cyl = 193;
    rdb::Part d = a;
    d.name = "pfs", d.flags = 0, d.dos_type = rdb::kPfs3, d.low_cyl = 194, d.high_cyl = 200;
    t.parts = {a, b, c, d};
    return t;
}

TEST(BuiltTable, ListedWithEveryField)
{
    std::string image = rdb::image("mixed.img", 8 * MiB, mixed_table());
    const std::string table = "partition name dostype first-byte last-byte blocksize reserved flags\n"
                              "1 DH0 DOS\\1 65536 2162687 512 2 bootable\n"
                              "2 DH1 DOS\\3 2162688 4259839 1024 4 nomount\n"
                              "3 Big\\x20Disk DOS\\5 4259840 6356991 4096 1 bootable,nomount\n"
                              "4 pfs PFS\\3 6356992 6586367 512 2 -\n";
    e2e::Run r = e2e::vistrel({"--partitions", image});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, table);
}

TEST(BuiltTable, FormatAndCheckEveryBlockSize)
{
    rdb::Table t = mixed_table();
    std::string image = rdb::image("mixed.img", 8 * MiB, t);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, check;
    };
    const Case cases[] = {
        {{"-p", "dh0"}, 0, geometry(4096, 512, 2, 2048), "detected a fast amiga filesystem\n"},
        {{"-p", "2"}, 0, geometry(2048, 1024, 4, 1025), "detected a international fast amiga filesystem\n"},
        {{"-p", "big disk"}, 0, geometry(512, 4096, 1, 256), "detected a dircache fast amiga filesystem\n"},
        // a variant option that agrees with the table
        {{"-p", "2", "-i"}, 0, geometry(2048, 1024, 4, 1025), "detected a international fast amiga filesystem\n"},
        // -s and -r override the table (the checker is told the same)
        {{"-p", "1", "-s", "1024", "-r", "3"}, 0,
         "plandor: warning: partition 1 (DH0) has 512-byte blocks in the partition table, and the Amiga mounts it "
         "with those, not with the 1024-byte blocks of -s\n" + geometry(2048, 1024, 3, 1025),
         "detected a fast amiga filesystem\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
        std::vector<uint8_t> before = e2e::read_file(image);
        std::vector<std::string> args = c.args;
        // the cases format some partitions again
        args.insert(args.end(), {"-f", image, "Vol"});
        e2e::Run format = e2e::plandor(args);
        EXPECT_EQ(format.status, c.status);
        EXPECT_EQ(format.out, c.out);
        size_t index = c.args[1] == "2" ? 1 : c.args[1] == "big disk" ? 2 : 0;
        expect_outside_unchanged(before, image, t.parts[index].first_byte(), t.parts[index].end_byte());

        std::vector<std::string> check = {"-n", "-p", c.args[1]};
        if (c.args.size() > 4) check.insert(check.end(), {"-s", "1024", "-r", "3"});
        check.push_back(image);
        e2e::Run r = e2e::vistrel(check);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.check);
    }
    EXPECT_EQ(e2e::vistrel({"--partitions", image}).status, 0) << "the table survived";
}

// A volume of any block size in a partition is found with -p alone; the
// formatter warns that the Amiga mounts it with the table's size.
TEST(BuiltTable, AnyBlockSizeInAPartition)
{
    rdb::Table t = mixed_table();
    struct Case {
        const char *which, *name;
        uint32_t table_size, size, reserved, blocks, root;
    };
    const Case cases[] = {
        {"1", "DH0", 512, 512, 2, 4096, 2048},     {"1", "DH0", 512, 1024, 2, 2048, 1024},
        {"1", "DH0", 512, 2048, 2, 1024, 512},     {"1", "DH0", 512, 4096, 2, 512, 256},
        {"3", "Big\\x20Disk", 4096, 512, 1, 4096, 2048}, {"2", "DH1", 1024, 2048, 4, 1024, 513},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.which) + " " + std::to_string(c.size));
        std::string image = rdb::image("sizes.img", 8 * MiB, t);
        const std::string size = std::to_string(c.size);
        std::string warning;
        if (c.size != c.table_size)
            warning = "plandor: warning: partition " + std::string(c.which) + " (" + c.name + ") has " +
                      std::to_string(c.table_size) + "-byte blocks in the partition table, and the Amiga mounts "
                      "it with those, not with the " + size + "-byte blocks of -s\n";
        e2e::Run format = e2e::plandor({"-p", c.which, "-s", size, image, "Vol"});
        EXPECT_EQ(format.status, 0);
        EXPECT_EQ(format.out, warning + geometry(c.blocks, c.size, c.reserved, c.root));
        e2e::Run check = e2e::vistrel({"-n", "-v", "-p", c.which, image});
        EXPECT_EQ(check.status, 0);
        const char *detected[] = {"fast", "international fast", "dircache fast"};
        const size_t index = size_t(c.which[0] - '1');
        EXPECT_EQ(check.out, "partition table at sector 7\npartition " + std::string(c.which) + " (" + c.name +
                                 ") at bytes " + std::to_string(t.parts[index].first_byte()) + " to " +
                                 std::to_string(t.parts[index].end_byte() - 1) + "\nroot block found at " +
                                 std::to_string(c.root) + "\ndetected a " + detected[index] + " amiga filesystem\n");
        // the size given to the checker is the only one it tries
        if (c.size != c.table_size) {
            e2e::Run forced = e2e::vistrel({"-n", "-p", c.which, "-s", std::to_string(c.table_size), image});
            EXPECT_EQ(forced.status, 1);
            EXPECT_EQ(forced.out, "vistrel: unable to find root block\n");
        }
    }
}

TEST(BuiltTable, PopulatedVolumeInsideAPartition)
{
    // The volume of partition 2 (1024-byte blocks, 4 reserved), built apart
    // with a bitmap bit wrong, is also written alone to an image: in the
    // partition each run must report and write what it does on its own.
    rdb::Table t = mixed_table();
    std::string image = rdb::image("populated.img", 8 * MiB, t);
    tv::VolumeSetup setup;
    setup.block_size = 1024, setup.total_blocks = 2048, setup.reserved_blocks = 4, setup.dos_type = tv::kDos0 + 3;
    tv::Volume v(setup);
    uint32_t dir = v.add_dir(v.root(), "Docs");
    uint32_t file = v.add_file(dir, "Readme", 5000);
    v.set_disk_bit(v.data_blocks(file).back(), false);
    std::string alone = e2e::temp_path("alone.img");
    v.write(alone);
    const uint64_t first = t.parts[1].first_byte();
    rdb::place_volume(image, first, v);

    const std::string located = "partition table at sector 7\npartition 2 (DH1) at bytes 2162688 to 4259839\n";
    e2e::Run own = e2e::vistrel({"-n", "-vv", "-r", "4", alone});
    ASSERT_EQ(own.status, 0);
    ASSERT_NE(own.out.find("bitmap check: <"), std::string::npos) << own.out;
    e2e::Run r = e2e::vistrel({"-n", "-vv", "-p", "DH1", image});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, located + own.out);

    EXPECT_EQ(e2e::vistrel({"-w", "-r", "4", alone}).status, 0);
    EXPECT_EQ(e2e::vistrel({"-w", "-p", "2", image}).status, 0);
    std::vector<uint8_t> repaired = e2e::read_file(alone);
    EXPECT_TRUE(e2e::read_range(image, first, repaired.size()) == repaired) << "the repair went elsewhere";
    EXPECT_EQ(e2e::vistrel({"-n", "-vv", "-p", "2", image}).out,
              located + e2e::vistrel({"-n", "-vv", "-r", "4", alone}).out);
}

TEST(BuiltTable, OtherFilesystemsAreLeftAlone)
{
    struct Case {
        uint32_t type;  // of partition 4
        std::vector<std::string> args;
        bool format;
        std::string out;
    };
    const std::string unknown = " in the partition table (4 partitions; --partitions lists them)\n";
    const Case cases[] = {
        {rdb::kPfs3, {"-p", "4"}, false, "vistrel: partition 4 (pfs) holds a PFS\\3 filesystem, which is not checked\n"},
        {tv::kDos0 + 7, {"-p", "4"}, false, "vistrel: partition 4 (pfs) holds a DOS\\7 filesystem, which is not checked\n"},
        {rdb::kPfs3, {"-p", "PFS"}, true, "plandor: partition 4 (pfs) is for a PFS\\3 filesystem; nothing written\n"},
        {rdb::kPfs3, {"-p", "pfs", "-o"}, true, "plandor: partition 4 (pfs) is for a PFS\\3 filesystem; nothing written\n"},
        {tv::kMuF0 + 1, {"-p", "4"}, true, "plandor: partition 4 (pfs) is for a muF\\1 filesystem; nothing written\n"},
        {rdb::kPfs3, {"-p", "1", "-o"}, true,
         "plandor: the options ask for DOS\\0, but partition 1 (DH0) is for DOS\\1; nothing written\n"},
        {rdb::kPfs3, {"-p", "2", "-d"}, true,
         "plandor: the options ask for DOS\\5, but partition 2 (DH1) is for DOS\\3; nothing written\n"},
        {rdb::kPfs3, {"-p", "5"}, false, "vistrel: no partition 5" + unknown},
        {rdb::kPfs3, {"-p", "0"}, false, "vistrel: no partition 0" + unknown},
        {rdb::kPfs3, {"-p", "DH9"}, true, "plandor: no partition DH9" + unknown},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        rdb::Table t = mixed_table();
        t.parts[3].dos_type = c.type;
        std::string image = rdb::image("other.img", 8 * MiB, t);
        std::vector<uint8_t> before = e2e::read_file(image);
        std::vector<std::string> args = c.args;
        args.push_back(image);
        if (c.format) args.push_back("Vol");
        e2e::Run r = c.format ? e2e::plandor(args) : e2e::vistrel(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(e2e::read_file(image) == before);
    }
    // a multi-user partition is checked
    rdb::Table t = mixed_table();
    t.parts[3].dos_type = tv::kMuFS;
    std::string image = rdb::image("muFS.img", 8 * MiB, t);
    tv::VolumeSetup setup;
    setup.total_blocks = uint32_t((t.parts[3].end_byte() - t.parts[3].first_byte()) / 512), setup.dos_type = tv::kMuFS;
    tv::Volume v(setup);
    rdb::place_volume(image, t.parts[3].first_byte(), v);
    EXPECT_EQ(e2e::vistrel({"-n", "-p", "4", image}).out, "detected a international multiuser fast amiga filesystem\n");
}

TEST(BuiltTable, TableBlocksOfOtherSizes)
{
    // table blocks of 2048 bytes: the PART blocks at 2048-byte block numbers
    rdb::Table t;
    t.rdsk_sector = 15, t.block_bytes = 2048, t.first_part = 9;
    rdb::Part a;
    a.low_cyl = 3;
    t.parts = {a};
    std::string image = rdb::image("big-table.img", 4 * MiB, t);
    e2e::Run r = e2e::plandor({"--partitions", image});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "partition name dostype first-byte last-byte blocksize reserved flags\n"
                     "1 DH0 DOS\\1 98304 2162687 512 2 -\n");
}

// Every hostile table: one message, status 1, nothing written.
TEST(HostileTable, EndsCleanly)
{
    struct Case {
        const char *what;
        void (*damage)(rdb::Table &t);
        void (*patch)(const std::string &image, const rdb::Table &t);
        std::string message;  // after the program name
    };
    const Case cases[] = {
        {"bad RDSK checksum", nullptr,
         [](const std::string &i, const rdb::Table &) { rdb::patch(i, 0, 12, 7, false); },
         "RDSK block at 0 has a bad checksum\n"},
        {"RDSK SummedLongs too small", [](rdb::Table &t) { t.summed_longs = 7; }, nullptr,
         "RDSK block at 0: SummedLongs 7 is outside 8 to 128\n"},
        {"RDSK SummedLongs too large", [](rdb::Table &t) { t.summed_longs = 129; }, nullptr,
         "RDSK block at 0: SummedLongs 129 is outside 8 to 128\n"},
        {"PART SummedLongs too large", [](rdb::Table &t) { t.parts[1].summed_longs = 200; }, nullptr,
         "PART block at 2: SummedLongs 200 is outside 8 to 128\n"},
        {"bad PART checksum", nullptr,
         [](const std::string &i, const rdb::Table &t) { rdb::patch(i, t.part_offset(1), 160, 1, false); },
         "PART block at 2 has a bad checksum\n"},
        {"list points at no PART block", nullptr,
         [](const std::string &i, const rdb::Table &t) { rdb::patch(i, t.part_offset(0), 16, 0); },
         "block 0 of the partition table is no PART block\n"},
        {"list loops", nullptr,
         [](const std::string &i, const rdb::Table &t) { rdb::patch(i, t.part_offset(1), 16, 1); },
         "partition list loops back to block 1\n"},
        {"more than 128 entries",
         [](rdb::Table &t) { t.parts.assign(129, t.parts[0]); }, nullptr,
         "partition list has more than 128 entries\n"},
        {"list pointer past the device", nullptr,
         [](const std::string &i, const rdb::Table &) { rdb::patch(i, 0, 28, 0x10000000); },
         "partition list points to block 268435456, past the end of the device\n"},
        {"next pointer past the device", nullptr,
         [](const std::string &i, const rdb::Table &t) { rdb::patch(i, t.part_offset(0), 16, 16384); },
         "partition list points to block 16384, past the end of the device\n"},
        {"BlockBytes 768", [](rdb::Table &t) { t.block_bytes = 768; }, nullptr,
         "RDSK block at 0: BlockBytes 768 is not 512, 1024, 2048 or 4096\n"},
        {"HighCyl below LowCyl", [](rdb::Table &t) { t.parts[1].high_cyl = 60; }, nullptr,
         "partition 2 (DH1): HighCyl 60 is below LowCyl 66\n"},
        {"partition past the device", [](rdb::Table &t) { t.parts[1].high_cyl = 256; }, nullptr,
         "partition 2 (DH1): last byte 8421375 lies past the end of the device (8388608 bytes)\n"},
        {"block size 400", [](rdb::Table &t) { t.parts[0].size_block = 100; }, nullptr,
         "partition 1 (DH0): SizeBlock 100 and SectorPerBlock 1 give no block size of 512, 1024, 2048 or 4096 "
         "bytes\n"},
        {"block size 0", [](rdb::Table &t) { t.parts[0].size_block = 0; }, nullptr,
         "partition 1 (DH0): SizeBlock 0 and SectorPerBlock 1 give no block size of 512, 1024, 2048 or 4096 "
         "bytes\n"},
        {"block size product overflows", [](rdb::Table &t) { t.parts[0].size_block = t.parts[0].sector_per_block = 0xFFFFFFFF; },
         nullptr,
         "partition 1 (DH0): SizeBlock 4294967295 and SectorPerBlock 4294967295 give no block size of 512, 1024, "
         "2048 or 4096 bytes\n"},
        {"cylinder overflows",
         [](rdb::Table &t) { t.parts[0].surfaces = t.parts[0].blocks_per_track = 0xFFFFFFFF; }, nullptr,
         "partition 1 (DH0): cylinders of Surfaces 4294967295 x BlocksPerTrack 4294967295 x 512 bytes up to HighCyl "
         "65 overflow 64 bits\n"},
        {"start overflows",
         [](rdb::Table &t) {
             t.parts[0].surfaces = 0x100000;
             t.parts[0].low_cyl = 0x80000000, t.parts[0].high_cyl = 0x80000001;
         },
         nullptr,
         "partition 1 (DH0): cylinders of Surfaces 1048576 x BlocksPerTrack 32 x 512 bytes up to HighCyl 2147483649 "
         "overflow 64 bits\n"},
        {"empty cylinders", [](rdb::Table &t) { t.parts[0].surfaces = 0; }, nullptr,
         "partition 1 (DH0): Surfaces 0 and BlocksPerTrack 32 give empty cylinders\n"},
        {"drive name longer than its field", nullptr,
         [](const std::string &i, const rdb::Table &t) {
             std::vector<uint8_t> b = e2e::read_range(i, t.part_offset(0), 512);
             b[36] = 40;
             rdb::seal(b.data());
             rdb::pwrite_all(i, t.part_offset(0), b);
         },
         "partition 1: drive name of 40 bytes is longer than its field of 31 bytes\n"},
        {"no table", nullptr, [](const std::string &i, const rdb::Table &) { rdb::patch(i, 0, 0, 0); },
         "no partition table (RDSK block) in the first 16 sectors of the device\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rdb::Table t;
        rdb::Part a, b;
        b.name = "DH1", b.low_cyl = 66, b.high_cyl = 129;
        t.parts = {a, b};
        if (c.damage) c.damage(t);
        std::string image = rdb::image("hostile.img", 8 * MiB, t);
        if (c.patch) c.patch(image, t);
        std::vector<uint8_t> before = e2e::read_file(image);
        const std::vector<std::vector<std::string>> runs = {
            {VISTREL_PATH, "--partitions", image}, {VISTREL_PATH, "-p", "1", image},
            {PLANDOR_PATH, "--partitions", image}, {PLANDOR_PATH, "-p", "DH1", image, "Vol"}};
        for (const auto &run : runs) {
            SCOPED_TRACE(run[0] + " " + run[1]);
            e2e::Run r = e2e::run(run[0], std::vector<std::string>(run.begin() + 1, run.end()));
            EXPECT_EQ(r.status, 1);
            std::string program = run[0] == VISTREL_PATH ? "vistrel: " : "plandor: ";
            EXPECT_EQ(r.out, program + c.message);
            EXPECT_EQ(r.err, "");
        }
        EXPECT_TRUE(e2e::read_file(image) == before) << "a hostile table led to a write";
    }
}

TEST(HostileTable, OverlapsAreReportedAndAllowed)
{
    rdb::Table t;
    rdb::Part a, b, c;
    b.name = "DH1", b.low_cyl = 60, b.high_cyl = 129;  // shares cylinders 60 .. 65 with DH0
    c.name = "DH2", c.low_cyl = 130, c.high_cyl = 193;
    t.parts = {a, b, c};
    std::string image = rdb::image("overlap.img", 8 * MiB, t);
    e2e::Run list = e2e::vistrel({"--partitions", image});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "partition name dostype first-byte last-byte blocksize reserved flags\n"
                        "1 DH0 DOS\\1 65536 2162687 512 2 -\n"
                        "2 DH1 DOS\\1 1966080 4259839 512 2 -\n"
                        "3 DH2 DOS\\1 4259840 6356991 512 2 -\n"
                        "vistrel: partitions 1 (DH0) and 2 (DH1) overlap\n");
    e2e::Run format = e2e::plandor({"-p", "2", image, "Vol"});
    EXPECT_EQ(format.status, 0);
    EXPECT_EQ(format.out, "plandor: partitions 1 (DH0) and 2 (DH1) overlap\n" + geometry(4480, 512, 2, 2240));
    // a partition that overlaps none is chosen without a word
    EXPECT_EQ(e2e::plandor({"-p", "3", image, "Vol"}).out, geometry(4096, 512, 2, 2048));
    e2e::Run check = e2e::vistrel({"-n", "-p", "dh1", image});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "vistrel: partitions 1 (DH0) and 2 (DH1) overlap\ndetected a fast amiga filesystem\n");
}

TEST(HostileTable, PartitionOverTheTableItself)
{
    rdb::Table t;
    rdb::Part a;
    a.low_cyl = 0;  // from byte 0: the RDSK and PART blocks lie inside it
    a.reserved = 0;
    t.parts = {a};
    std::string image = rdb::image("over-table.img", 4 * MiB, t);
    std::vector<uint8_t> before = e2e::read_file(image);
    e2e::Run format = e2e::plandor({"-p", "1", image, "Vol"});
    EXPECT_EQ(format.status, 1);
    EXPECT_EQ(format.out, "plandor: partition 1 (DH0) covers the partition table's block at byte 0; nothing written\n");
    e2e::Run check = e2e::vistrel({"-n", "-p", "1", image});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out,
              "vistrel: partition 1 (DH0) reserves no blocks, yet block 0 is the boot block; give -r\n");
    EXPECT_TRUE(e2e::read_file(image) == before);
}

TEST(PartitionOptions, CommandLines)
{
    std::string image = rdb::image("options.img", 8 * MiB, mixed_table());
    const std::string listing = e2e::vistrel({"--partitions", image}).out;
    const std::vector<uint8_t> before = e2e::read_file(image);
    struct Case {
        const char *program;
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        // --partitions takes the device alone, and never writes: -w and a
        // read-only image change nothing
        {PLANDOR_PATH, {"--partitions", image}, 0, listing},
        {PLANDOR_PATH, {"--partitions", image, "Name"}, 64, ""},
        {VISTREL_PATH, {"--partitions", "-w", image}, 0, listing},
        {VISTREL_PATH, {"-p"}, 64, ""},
        // a missing device fails at the open, as without -p
        {VISTREL_PATH, {"-p", "1", image + ".missing"}, 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        e2e::Run r = e2e::run(c.program, c.args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_TRUE(e2e::read_file(image) == before);
}

TEST(DosTypeText, LettersNumbersAndEscapes)
{
    struct Case {
        uint32_t type;
        const char *text;
    };
    const Case cases[] = {
        {0x444F5301, "DOS\\1"}, {0x50465303, "PFS\\3"}, {0x53465300, "SFS\\0"},
        {0x6D754653, "muFS"},   {0x4C4E5800, "LNX\\0"}, {0x5C200AFF, "\\x5C\\x20\\x0A\\xFF"},
    };
    for (const Case &c : cases) {
        char text[17];
        dos_type_text(c.type, text);
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
