// The copy-out over a hostile image: the input is the check target's (see
// fuzz_input.h); the image is extracted, with salvage of deleted entries,
// into a fresh directory inside a scratch directory of its own.
//
// Beyond what the sanitizers catch, two properties are checked: the image is
// left exactly as it was, and nothing is written beside the extraction's
// directory.
#include "extract.h"
#include "fuzz_input.h"
#include "volume.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char program_name[] = "vistrel";

namespace {

int image_fd = -1;
char jail[] = "/tmp/extract_fuzzer.XXXXXX";

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "extract_fuzzer: %s\n", what);
    std::abort();
}

__attribute__((no_sanitize("coverage"))) std::uint64_t image_hash(int fd, std::uint64_t size)
{
    std::uint64_t hash = 1469598103934665603ull;
    alignas(8) std::uint8_t buffer[65536];
    for (std::uint64_t at = 0; at < size;) {
        off_t data = lseek(fd, off_t(at), SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = lseek(fd, data, SEEK_HOLE);
        for (off_t p = data; p < hole;) {
            std::size_t want = std::size_t(hole - p) < sizeof buffer ? std::size_t(hole - p) : sizeof buffer;
            ssize_t got = pread(fd, buffer, want, p);
            if (got <= 0)
                fail("cannot read the image back");
            for (ssize_t i = 0; i < got; ++i)
                if (buffer[i])
                    hash = (hash ^ buffer[i] ^ (std::uint64_t(p + i) * 0x9E3779B97F4A7C15ull)) * 1099511628211ull;
            p += got;
        }
        at = std::uint64_t(hole);
    }
    return hash;
}

// Removes everything inside the directory `fd` (closed here), however deep,
// through descriptors.
__attribute__((no_sanitize("coverage"))) void empty_tree(int fd)
{
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    while (dirent *e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (unlinkat(dirfd(dir), e->d_name, 0) == 0)
            continue;
        int sub = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (sub >= 0) {
            fchmod(sub, 0700);
            empty_tree(sub);
        }
        if (unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR) != 0)
            fail("cannot clear the scratch directory");
    }
    closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot send standard output to /dev/null");
    setenv("TZ", "UTC", 1);
    image_fd = memfd_create("extract_fuzzer", 0);
    if (image_fd < 0 || !mkdtemp(jail))
        fail("cannot make the image or the scratch directory");
    std::atexit([] { rmdir(jail); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input::CheckInput in;
    if (!fuzz_input::parse_check_input(data, size, in))
        return -1;
    const std::uint64_t bytes = in.sectors * 512;
    // the copy-out writes what the volume holds: large images cost the
    // fuzzer's disk, not coverage
    if (bytes > (std::uint64_t(1) << 26))
        return -1;
    if (ftruncate(image_fd, 0) != 0 || ftruncate(image_fd, off_t(bytes)) != 0)
        fail("cannot size the image");
    if (!fuzz_input::write_check_records(image_fd, in))
        fail("cannot write the image");
    std::uint64_t before = image_hash(image_fd, bytes);

    RunOptions options;
    options.fd = image_fd;
    options.device_bytes = bytes;
    options.reserved_blocks = in.reserved;
    options.reserve_given = in.reserved_given;
    options.root_block = in.root;
    options.block_size = in.block_size;
    options.verbosity = in.verbosity > 1 ? 1 : in.verbosity;
    std::string out = std::string(jail) + "/out";
    ExtractOptions extract;
    extract.directory = out.c_str();
    extract.salvage = Salvage::Deleted;
    extract.keep_items = in.verbosity != 0;
    ExtractResult result;
    NullReporter quiet;
    int status = run_extract(options, extract, quiet, result);
    release_session();
    std::fflush(stdout);
    if (status != 0 && status != 1 && status != 8)
        fail("an exit status other than 0, 1 or 8");

    if (image_hash(image_fd, bytes) != before)
        fail("the copy-out changed the image");
    // only the extraction's directory lies in the scratch directory
    int fd = open(jail, O_RDONLY | O_DIRECTORY);
    DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir)
        fail("cannot read the scratch directory");
    while (dirent *e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
            std::strcmp(e->d_name, "out") != 0)
            fail("the copy-out wrote beside its directory");
    closedir(dir);
    int top = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (top >= 0) {
        empty_tree(top);
        if (rmdir(out.c_str()) != 0)
            fail("cannot remove the extraction's directory");
    }
    return 0;
}
