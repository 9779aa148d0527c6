// The repair of the tree over a hostile image: the input is the check
// target's (see fuzz_input.h), written into a memory file.  With its
// read-only bit the run only tells the repairs (-n --repair), else it makes
// them (-y); then a second repair runs over what the first one wrote.
//
// Beyond what the sanitizers catch, one property is checked: a run that only
// tells the repairs leaves the image exactly as it was.
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
    std::fprintf(stderr, "repair_fuzzer: %s\n", what);
    std::abort();
}

// the image's bytes, for the read-only property; small images only
__attribute__((no_sanitize("coverage"))) bool read_image(int fd, std::uint64_t size, std::vector<std::uint8_t> &out)
{
    out.resize(size);
    return pread(fd, out.data(), size, 0) == ssize_t(size);
}

void repair_once(const fuzz_input::CheckInput &in, int fd, bool tell_only)
{
    RunOptions options;
    options.fd = fd;
    options.device_bytes = in.sectors * 512;
    options.reserved_blocks = in.reserved;
    options.reserve_given = in.reserved_given;
    options.root_block = in.root;
    options.block_size = in.block_size;
    options.verbosity = in.verbosity == 2 ? 1 : in.verbosity;
    options.options = RepairTree | (tell_only ? ReadOnly : WriteBitmap);
    read_ahead_eager = true;
    TextReporter text(options.verbosity);
    run_check(options, text);
    release_session();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot send standard output to /dev/null");
    setenv("TZ", "UTC", 1);
    image_fd = memfd_create("repair_fuzzer", 0);
    if (image_fd < 0)
        fail("memfd_create failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input::CheckInput in;
    if (!fuzz_input::parse_check_input(data, size, in))
        return -1;
    // the repair reads every block its bitmap marks in use and the walk did
    // not reach: images are kept to 16 MiB so that a run stays short
    if (in.sectors > (1u << 15))
        return -1;
    const std::uint64_t bytes = in.sectors * 512;
    if (ftruncate(image_fd, 0) != 0 || ftruncate(image_fd, off_t(bytes)) != 0)
        fail("cannot size the image");
    if (!fuzz_input::write_check_records(image_fd, in))
        fail("cannot write the image");
    if (in.readonly) {
        std::vector<std::uint8_t> before, after;
        if (!read_image(image_fd, bytes, before))
            fail("cannot read the image");
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", image_fd);
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            fail("cannot open the image read-only");
        repair_once(in, fd, true);
        close(fd);
        if (!read_image(image_fd, bytes, after) || after != before)
            fail("a repair that only tells changed the image");
        return 0;
    }
    repair_once(in, image_fd, false);
    repair_once(in, image_fd, false);
    std::fflush(stdout);
    return 0;
}
