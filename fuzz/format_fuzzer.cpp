// The formatter's run over fuzzed geometries: image size, block size,
// reserved blocks, a root block given or not, the variant flags and the
// volume name (fuzz_input.h).  The image is a sparse memory file of up to
// 8 GiB; the steps are those of the formatter's main after the device is
// open.
//
// Properties checked on top of the sanitizers:
// - a refused geometry leaves the image untouched (all zero);
// - a volume that was formatted reads back through the checker's own steps:
//   the root block is found where it was put (and by the search alone when
//   the root lies where the formatter puts it by default and the checker's
//   default of 2 reserved blocks applies), the DOS type names the variant,
//   the bitmap loads without errors and agrees with the rebuilt map;
// - no block that the formatter handed out is block 0 or a reserved block.
#include "fuzz_input.h"
#include "volume.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

const char program_name[] = "plandor";

namespace {

int image_fd = -1;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "format_fuzzer: %s\n", what);
    std::abort();
}

void free_session()
{
    std::free(volume.work_map);
    std::free(volume.disk_map);
    volume.work_map = volume.disk_map = nullptr;
    reset_walk_record();
}

bool image_is_empty()
{
    return lseek(image_fd, 0, SEEK_DATA) < 0;
}

// Every bitmap and bitmap extension block that the root block names, in the
// formatter's order, must lie inside the volume and outside the reserved
// blocks.
void check_allocated_blocks()
{
    std::uint32_t count = bitmap_block_count();
    auto inside = [](std::uint32_t block) {
        return block >= volume.reserved_blocks && block >= 1 && block < volume.total_blocks;
    };
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i)
        if (!inside(get_tail(volume.root_buffer, bitmap_page(i))))
            fail("a bitmap block outside the volume's free blocks");
    if (count > root_bitmap_pages && !inside(get_tail(volume.root_buffer, field::bitmap_ext)))
        fail("a bitmap extension block outside the volume's free blocks");
}

// Reads the new volume back as the checker does; `search` also finds the
// root block without being told where it is.
void read_back(const fuzz_input::FormatInput &in, std::uint32_t root, std::uint8_t variant, bool search)
{
    const std::uint64_t sectors = in.bytes / 512;
    for (int pass = search ? 0 : 1; pass < 2; ++pass) {
        free_session();
        std::memset(&volume, 0, sizeof volume);
        volume.fd = image_fd;
        volume.reserved_blocks = pass == 0 ? 2 : in.reserved;
        volume.options = ReadOnly;
        reset_report();
        if (pass == 1) {
            volume.root_block = root;
            volume.block_size = in.block_size;
        }
        volume.total_blocks = sectors > UINT32_MAX ? UINT32_MAX : std::uint32_t(sectors);
        if (find_root_block(sectors) != 0)
            fail(pass == 0 ? "the root block search misses a new volume" : "the new root block is not found");
        if (volume.root_block != root || volume.block_size != in.block_size)
            fail("the root block is found at the wrong place or size");
    }
    if (detect_dos_type() != 0)
        fail("the new DOS type is not recognised");
    std::uint8_t expected = variant & (OldFormat | International | DirCache);
    if (expected & International)
        expected &= std::uint8_t(~DirCache);
    if ((volume.variant & (OldFormat | International | DirCache | MultiUser)) != expected)
        fail("the DOS type names another variant");
    volume.data_bytes_per_block = (volume.variant & OldFormat) ? volume.block_size - 24 : volume.block_size;
    if (load_bitmap() != 0 || tallies().of(Effect::BitmapError) != 0)
        fail("the new bitmap does not load");
    if (get_tail(volume.root_buffer, field::bitmap_flag) != 0xFFFFFFFFu)
        fail("the new bitmap is not marked valid");
    check_directory(volume.root_buffer + field::hash_table);
    if (compare_bitmaps() != 0)
        fail("the new bitmap differs from the rebuilt one");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        fail("cannot send standard output to /dev/null");
    setenv("TZ", "UTC", 1);
    image_fd = memfd_create("format_fuzzer", 0);
    if (image_fd < 0)
        fail("memfd_create failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input::FormatInput in;
    if (!fuzz_input::parse_format_input(data, size, in))
        return -1;
    if (ftruncate(image_fd, 0) != 0 || ftruncate(image_fd, off_t(in.bytes)) != 0)
        fail("cannot size the image");

    RunOptions options;
    options.fd = image_fd;
    options.device_bytes = in.bytes;
    options.reserved_blocks = in.reserved;
    options.reserve_given = true;
    options.block_size = in.block_size;
    options.verbosity = in.verbosity;
    options.variant = std::uint8_t((in.ofs ? OldFormat : 0) | (in.intl ? International : 0) | (in.dircache ? DirCache : 0));
    options.volume_name = in.name.c_str();
    options.root_block = std::uint32_t(in.root);
    options.root_given = in.root_given;
    options.root_given_value = long(in.root);
    TextReporter text(options.verbosity);

    // the cap on the image keeps every size within 32-bit block numbers, so
    // a refusal is a refused geometry (or a failed allocation), and then
    // nothing may have been written
    if (run_format(options, text) != 0) {
        if (!image_is_empty())
            fail("a refused geometry wrote to the image");
        free_session();
        return 0;
    }
    std::fflush(stdout);
    check_allocated_blocks();

    std::uint32_t root = volume.root_block;
    std::uint8_t variant = volume.variant;
    bool default_place = !in.root_given && in.reserved == 2 && in.bytes % in.block_size == 0;
    read_back(in, root, variant, default_place);
    std::fflush(stdout);
    free_session();
    return 0;
}
