// The checker's whole pass over a hostile image.  The input (fuzz_input.h)
// gives the options and a sparse description of the image, which is written
// into a memory file, so the real block I/O runs on it; then come the steps
// of the checker's main after the device is open, in its order.
//
// When the image's first 16 sectors hold a partition table, the table is
// listed as --partitions lists it, and the first four partitions are each
// checked as -p checks them, with the same options.
//
// Beyond what the sanitizers catch, one property is checked: a run with
// neither write nor clear leaves the image exactly as it was.
#include "fuzz_input.h"
#include "volume.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

const char program_name[] = "vistrel";

namespace {

int image_fd = -1;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "check_fuzzer: %s\n", what);
    std::abort();
}

// A hash of the image's contents; holes are skipped, so it costs the data
// written, not the size of the image.  Not instrumented: it is the harness,
// not the code under test.
__attribute__((no_sanitize("coverage"))) std::uint64_t image_hash(int fd, std::uint64_t size)
{
    std::uint64_t hash = 1469598103934665603ull;
    alignas(8) std::uint8_t buffer[65536];
    off_t at = 0;
    while (std::uint64_t(at) < size) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            hole = off_t(size);
        for (off_t p = data; p < hole;) {
            std::size_t want = std::size_t(hole - p) < sizeof buffer ? std::size_t(hole - p) : sizeof buffer;
            ssize_t got = pread(fd, buffer, want, p);
            if (got <= 0)
                fail("cannot read the image back");
            std::memset(buffer + got, 0, (8 - got % 8) % 8);
            // zero words count for nothing, so zero pages hash like holes;
            // the offset of every other word enters the hash
            for (ssize_t i = 0; i < got; i += 8) {
                std::uint64_t word;
                std::memcpy(&word, buffer + i, 8);
                if (word)
                    hash = (hash ^ word ^ (std::uint64_t(p + i) * 0x9E3779B97F4A7C15ull)) * 1099511628211ull;
            }
            p += got;
        }
        at = hole;
    }
    return hash;
}

// One run of the checker's steps after the device is open: on the whole
// image, or with `which` on that partition as -p does it.
void run_check(const fuzz_input::CheckInput &in, int fd, const char *which)
{
    std::memset(&volume, 0, sizeof volume);
    root_search_first_size = 0;  // a partition's, from an earlier run
    volume.reserved_blocks = in.reserved;
    volume.root_block = in.root;
    volume.block_size = in.block_size;
    // On a large image the level-2 report can list millions of blocks, and
    // formatting them would take nearly all of the fuzzer's time: level 2 is
    // kept to images of up to 2^18 sectors, where it is still exercised.
    volume.verbosity = in.verbosity == 2 && in.sectors > (1u << 18) ? 1 : in.verbosity;
    volume.flags = std::uint8_t((in.readonly ? ReadOnly : 0) | (in.clear ? ClearBitmapFlag : 0) |
                                (in.write ? WriteBitmap : 0));
    volume.fd = fd;
    // the image is in memory, where the look-ahead would never start
    read_ahead_eager = true;
    std::uint64_t bytes = in.sectors * 512;
    // byte 1 of the input, when not 0, stands for -r
    if (!which || select_check_partition(which, bytes, in.block_size != 0, in.reserved_given) == 0)
        check_volume(bytes / 512);

    // nothing of the session outlives the run
    std::free(volume.work_map);
    std::free(volume.disk_map);
    volume.work_map = volume.disk_map = nullptr;
    reset_walk_record();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // the report goes nowhere: only crashes and the properties matter
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot send standard output to /dev/null");
    setenv("TZ", "UTC", 1);
    image_fd = memfd_create("check_fuzzer", 0);
    if (image_fd < 0)
        fail("memfd_create failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input::CheckInput in;
    if (!fuzz_input::parse_check_input(data, size, in))
        return -1;
    const std::uint64_t bytes = in.sectors * 512;
    if (ftruncate(image_fd, 0) != 0 || ftruncate(image_fd, off_t(bytes)) != 0)
        fail("cannot size the image");
    if (!fuzz_input::write_check_records(image_fd, in))
        fail("cannot write the image");
    bool writes = in.write || in.clear;
    std::uint64_t before = writes ? 0 : image_hash(image_fd, bytes);

    // -n: a descriptor of its own, opened read-only, as the checker opens it
    int fd = image_fd;
    if (in.readonly) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", image_fd);
        fd = open(path, O_RDONLY);
        if (fd < 0)
            fail("cannot open the image read-only");
    }

    run_check(in, fd, nullptr);
    if (has_partition_table(bytes)) {
        volume.fd = fd;
        print_partitions(bytes);
        for (const char *which : {"1", "2", "3", "4"})
            run_check(in, fd, which);
    }
    std::fflush(stdout);

    if (fd != image_fd)
        close(fd);

    if (!writes && image_hash(image_fd, bytes) != before)
        fail("a run without write or clear changed the image");
    return 0;
}
