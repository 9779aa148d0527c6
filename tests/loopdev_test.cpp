// Both tools on real block devices: an image attached to a loop device, so
// that the device's size comes from the kernel and not from the file.
#include "e2e.h"
#include "rdbimage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// A loop device attached to an image for the length of a test.
struct LoopDevice {
    std::string path;
    std::string why_not;  // the reason there is none
    explicit LoopDevice(const std::string &image)
    {
        if (geteuid() != 0) {
            why_not = "loop devices need root";
            return;
        }
        e2e::Run r = e2e::run("/sbin/losetup", {"--find", "--show", image});
        if (r.status != 0 || r.out.empty()) {
            why_not = "losetup cannot attach a loop device here: " + r.err;
            return;
        }
        path = r.out.substr(0, r.out.find('\n'));
    }
    ~LoopDevice()
    {
        if (!path.empty())
            e2e::run("/sbin/losetup", {"--detach", path});
    }
};

#define REQUIRE_LOOP(device)                  \
    if ((device).path.empty())                \
    GTEST_SKIP() << (device).why_not

struct Geometry {
    std::uint64_t image_bytes;
    const char *size;  // plandor -s
    std::uint32_t blocks, root;
};

TEST(LoopDevice, FormatAndCheckOnTheDevice)
{
    // the last case's image is not a whole number of 4096-byte blocks
    const Geometry cases[] = {
        {901120, "512", 1760, 880},
        {4u << 20, "1024", 4096, 2048},
        {(1u << 20) + 1536, "4096", 256, 128},
        {8u << 20, "2048", 4096, 2048},
    };
    for (const Geometry &g : cases) {
        SCOPED_TRACE(g.size);
        std::string image = e2e::sparse_image("loop.img", g.image_bytes);
        LoopDevice device(image);
        REQUIRE_LOOP(device);

        e2e::Run format = e2e::plandor({"-s", g.size, device.path, "Loop"});
        EXPECT_EQ(format.status, 0) << format.out << format.err;
        EXPECT_EQ(format.out, "blocks: " + std::to_string(g.blocks) + "\nblocksize: " + g.size +
                                  "\nreserved blocks: 2\nrootblock: " + std::to_string(g.root) + "\n");

        e2e::Run check = e2e::vistrel({"-n", "-vv", device.path});
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_EQ(check.out, "root block found at " + std::to_string(g.root) +
                                 "\ndetected a fast amiga filesystem\nread bitmap 0 : " +
                                 std::to_string(g.root + 1) + "\nbitmap check: \n");

        // the image behind the device holds the same volume
        e2e::Run file = e2e::vistrel({"-n", image});
        EXPECT_EQ(file.out, "detected a fast amiga filesystem\n");
    }
}

TEST(LoopDevice, RepairOnTheDevice)
{
    std::string image = e2e::sparse_image("repair.img", 901120);
    LoopDevice device(image);
    REQUIRE_LOOP(device);
    ASSERT_EQ(e2e::plandor({device.path, "Repair"}).status, 0);
    EXPECT_EQ(e2e::vistrel({"-c", device.path}).status, 0);
    EXPECT_EQ(e2e::vistrel({"-n", device.path}).out, "detected a fast amiga filesystem (not cleanly unmounted)\n");
    e2e::Run repair = e2e::vistrel({"-w", "-v", device.path});
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(repair.out, "root block found at 880\ndetected a fast amiga filesystem (not cleanly unmounted)\n"
                          "writing root block at 880\n");
    EXPECT_EQ(e2e::vistrel({"-n", device.path}).out, "detected a fast amiga filesystem\n");
}

// A device that another holder has claimed (as a mount does) is refused by
// every run that would write, before anything is written; reading runs go on.
TEST(LoopDevice, ClaimedDeviceIsRefusedForWriting)
{
    std::string image = e2e::sparse_image("busy.img", 901120);
    LoopDevice device(image);
    REQUIRE_LOOP(device);
    ASSERT_EQ(e2e::plandor({device.path, "Busy"}).status, 0);
    ASSERT_EQ(e2e::vistrel({"-c", device.path}).status, 0);
    const std::vector<std::uint8_t> before = e2e::read_file(image);

    int holder = open(device.path.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0) << "cannot claim " << device.path;
    const std::string busy = "'" + device.path + "' is in use\n";
    struct Row {
        bool formatter;
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Row rows[] = {
        {true, {device.path, "Other"}, 1, "plandor: " + busy},
        {false, {"-w", device.path}, 1, "vistrel: " + busy},
        {false, {"-c", device.path}, 1, "vistrel: " + busy},
        {false, {"-f", "-w", "-c", device.path}, 1, "vistrel: " + busy},
        {false, {"-n", device.path}, 0, "detected a fast amiga filesystem (not cleanly unmounted)\n"},
        {false, {"-n", "-w", device.path}, 1,
         "detected a fast amiga filesystem (not cleanly unmounted)\n"
         "vistrel: unable to write block 880 (Bad file descriptor)\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0]);
        e2e::Run run = row.formatter ? e2e::plandor(row.args) : e2e::vistrel(row.args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, row.status);
    }
    close(holder);
    EXPECT_TRUE(e2e::read_file(image) == before) << "the image changed";

    // released, the device is written again
    EXPECT_EQ(e2e::vistrel({"-w", device.path}).status, 0);
    EXPECT_EQ(e2e::vistrel({"-n", device.path}).out, "detected a fast amiga filesystem\n");
}

TEST(LoopDevice, OnePartitionOfTheDevice)
{
    // two partitions of 2 MiB behind a table in sector 3; the second holds
    // 2048-byte blocks
    rdb::Table t;
    t.rdsk_sector = 3, t.first_part = 4;
    rdb::Part a, b;
    b.name = "Data", b.sector_per_block = 4, b.low_cyl = 66, b.high_cyl = 129;
    t.parts = {a, b};
    std::string image = rdb::image("partitioned.img", 5u << 20, t);
    LoopDevice device(image);
    REQUIRE_LOOP(device);

    e2e::Run list = e2e::vistrel({"--partitions", device.path});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "partition name dostype first-byte last-byte blocksize reserved flags\n"
                        "1 DH0 DOS\\1 65536 2162687 512 2 -\n"
                        "2 Data DOS\\1 2162688 4259839 2048 2 -\n");
    e2e::Run format = e2e::plandor({"-p", "data", device.path, "Loop"});
    EXPECT_EQ(format.status, 0) << format.out;
    EXPECT_EQ(format.out, "blocks: 1024\nblocksize: 2048\nreserved blocks: 2\nrootblock: 512\n");
    e2e::Run check = e2e::vistrel({"-n", "-vv", "-p", "2", device.path});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "partition table at sector 3\npartition 2 (Data) at bytes 2162688 to 4259839\n"
                         "root block found at 512\ndetected a fast amiga filesystem\nread bitmap 0 : 513\n"
                         "bitmap check: \n");
    // the image behind the device holds the same; partition 1 is untouched
    EXPECT_EQ(e2e::vistrel({"-n", "-p", "Data", image}).out, "detected a fast amiga filesystem\n");
    EXPECT_EQ(e2e::vistrel({"-n", "-p", "1", image}).out, "vistrel: unable to find root block\n");
}

}  // namespace

// An image file that backs a loop device may be mounted through it: every
// run that would write to the file itself is refused, before it writes.
TEST(LoopDevice, ImageBehindADeviceIsRefusedForWriting)
{
    std::string image = e2e::sparse_image("backing.img", 901120);
    ASSERT_EQ(e2e::plandor({image, "Backing"}).status, 0);
    LoopDevice device(image);
    REQUIRE_LOOP(device);
    const std::vector<std::uint8_t> before = e2e::read_file(image);
    const std::string busy = "'" + image + "' is in use by " + device.path + "\n";
    struct Row {
        bool formatter;
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Row rows[] = {
        {true, {"-f", image, "Other"}, 1, "plandor: " + busy},
        {false, {"-w", image}, 1, "vistrel: " + busy},
        {false, {"-c", image}, 1, "vistrel: " + busy},
        {false, {"-n", image}, 0, "detected a fast amiga filesystem\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0]);
        e2e::Run run = row.formatter ? e2e::plandor(row.args) : e2e::vistrel(row.args);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.status, row.status);
    }
    EXPECT_EQ(e2e::read_file(image), before);
}
