// The undo file's reader and the restore over hostile undo files.  The
// image and the undo file are memory files, so the real block I/O runs.
//
// Input:
//   byte 0      bit 0 force (-f); bit 1 dry run (-n); bit 2 seal: the harness
//               makes every check of the undo file right, so that mutations
//               reach the restore and not only the checks; bit 3 the
//               device's identity in the file is made the image's own;
//               bit 4 the image's first sectors are read as a partition
//               table, whose blocks no write may touch
//   bytes 1-2   image size in 512-byte sectors, big-endian, modulo 1025
//   bytes 3-4   length N of the image's first bytes that follow
//   N bytes     the image from byte 0 (the rest is zero)
//   the rest    the undo file
//
// Properties, beyond what the sanitizers catch: the image never changes its
// size; a refused restore or a dry run leaves it as it was; a restore that
// ends with status 0 has put every saved block back; a second restore then
// changes nothing.
#include "volume.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char program_name[] = "vistrel";

namespace {

int image_fd = -1, undo_fd = -1;
char undo_path[64];

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "undo_fuzzer: %s\n", what);
    std::abort();
}

using Bytes = std::vector<std::uint8_t>;

__attribute__((no_sanitize("coverage"))) Bytes contents(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        fail("cannot stat the image");
    Bytes bytes(std::size_t(status.st_size));
    if (!bytes.empty() && pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
        fail("cannot read the image back");
    return bytes;
}

std::uint64_t fnv(std::uint64_t hash, const std::uint8_t *bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

std::uint64_t get_quad(const std::uint8_t *p) { return std::uint64_t(get_long(p, 0)) << 32 | get_long(p, 4); }

void put_quad(std::uint8_t *p, std::uint64_t value)
{
    put_long(p, 0, std::uint32_t(value >> 32));
    put_long(p, 4, std::uint32_t(value));
}

// The undo file's layout, as far as the harness needs it: where the saved
// blocks start, their size and count, and the volume's offset.
struct Layout {
    bool sound = false;
    std::uint32_t block_size = 0, count = 0;
    std::uint64_t offset = 0, saved_at = 0;
};

// Reads the layout of `undo`; with `seal`, first makes each check right,
// and with `own`, the identity the image's own.
__attribute__((no_sanitize("coverage"))) Layout prepare(Bytes &undo, bool seal, bool own)
{
    Layout layout;
    if (undo.size() < 48 || std::memcmp(undo.data(), "AMIUNDO", 7) != 0)
        return layout;
    if (seal)
        put_quad(undo.data() + 40, fnv(14695981039346656037ull, undo.data(), 40));
    std::uint64_t seed = get_quad(undo.data() + 40);
    layout.block_size = get_long(undo.data(), 8);
    layout.count = get_long(undo.data(), 12);
    layout.offset = get_quad(undo.data() + 24);
    std::uint64_t at = 48;
    if (undo[7] == '2') {
        if (undo.size() < at + 24)
            return layout;
        std::uint64_t length = get_long(undo.data(), std::uint32_t(at + 4));
        std::uint64_t size = 24 + (length + 7) / 8 * 8 + 8;
        if (undo.size() < at + size)
            return layout;
        if (own) {
            struct stat status;
            if (fstat(image_fd, &status) != 0)
                fail("cannot stat the image");
            put_long(undo.data(), std::uint32_t(at), 1);
            put_quad(undo.data() + at + 8, status.st_dev);
            put_quad(undo.data() + at + 16, status.st_ino);
        }
        if (seal)
            put_quad(undo.data() + at + size - 8, fnv(seed, undo.data() + at, size - 8));
        at += size;
    }
    layout.saved_at = at;
    if (shift_of_block_size(layout.block_size) == 0)
        return layout;
    std::uint64_t entry = layout.block_size + 16;
    for (std::uint32_t i = 0; i < layout.count && at + entry <= undo.size(); ++i, at += entry)
        if (seal)
            put_quad(undo.data() + at + layout.block_size + 8, fnv(seed, undo.data() + at, layout.block_size + 8));
    for (; seal && at + 24 <= undo.size(); at += 24)
        put_quad(undo.data() + at + 16, fnv(seed, undo.data() + at, 16));
    layout.sound = true;
    return layout;
}

int restore(std::uint64_t bytes, bool force, bool dry_run, bool table)
{
    std::memset(&volume, 0, sizeof volume);
    volume.fd = image_fd;
    volume.device_path = "image";
    volume.reserved_blocks = 2;
    protect_partition_table(table ? bytes : 0);
    return restore_volume(undo_path, bytes, force, dry_run);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot send standard output to /dev/null");
    image_fd = memfd_create("undo_fuzzer_image", 0);
    undo_fd = memfd_create("undo_fuzzer_undo", 0);
    if (image_fd < 0 || undo_fd < 0)
        fail("memfd_create failed");
    std::snprintf(undo_path, sizeof undo_path, "/proc/self/fd/%d", undo_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 5)
        return -1;
    bool force = data[0] & 1, dry_run = data[0] & 2, seal = data[0] & 4, own = data[0] & 8, table = data[0] & 16;
    std::uint64_t bytes = (std::uint64_t(data[1]) << 8 | data[2]) % 1025 * 512;
    std::size_t head = std::size_t(data[3]) << 8 | data[4];
    if (head > size - 5)
        head = size - 5;
    if (head > bytes)
        return -1;
    Bytes undo(data + 5 + head, data + size);
    Layout layout = prepare(undo, seal, own);

    if (ftruncate(image_fd, 0) != 0 || ftruncate(image_fd, off_t(bytes)) != 0 ||
        (head && pwrite(image_fd, data + 5, head, 0) != ssize_t(head)))
        fail("cannot write the image");
    if (ftruncate(undo_fd, 0) != 0 ||
        (!undo.empty() && pwrite(undo_fd, undo.data(), undo.size(), 0) != ssize_t(undo.size())))
        fail("cannot write the undo file");

    Bytes before = contents(image_fd);
    int status = restore(bytes, force, dry_run, table);
    Bytes after = contents(image_fd);
    if (after.size() != before.size())
        fail("the restore changed the image's size");
    if ((status != 0 || dry_run) && after != before)
        fail("a refused restore or a dry run changed the image");
    if (status != 0 || dry_run)
        return 0;

    // every saved block is back
    if (!layout.sound)
        fail("a restore accepted an undo file that the harness cannot read");
    std::uint64_t entry = layout.block_size + 16;
    for (std::uint32_t i = 0; i < layout.count; ++i) {
        const std::uint8_t *saved = undo.data() + layout.saved_at + i * entry;
        std::uint64_t at = layout.offset + std::uint64_t(get_long(saved, 0)) * layout.block_size;
        if (at + layout.block_size > after.size() ||
            std::memcmp(after.data() + at, saved + 8, layout.block_size) != 0)
            fail("a restore with status 0 left a saved block out");
    }
    // and a second restore finds nothing to do
    if (restore(bytes, force, false, table) != 0)
        fail("a second restore was refused");
    if (contents(image_fd) != after)
        fail("a second restore changed the image");
    return 0;
}
