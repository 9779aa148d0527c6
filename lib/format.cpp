// The formatter's run once the device is open: size it in blocks, place the
// root block, and write the root block, the bitmap and the DOS type.
#include "internal.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The size of a device of `bytes` bytes in blocks.  A device with more blocks
// than a 32-bit block number can count is refused, naming the smallest block
// size that fits.
int size_device(std::uint64_t bytes)
{
    std::uint64_t blocks = bytes >> volume.block_shift;
    if (blocks > UINT32_MAX) {
        std::uint32_t size = volume.block_size * 2;
        while (size <= max_block_size && (bytes >> shift_of_block_size(size)) > UINT32_MAX)
            size *= 2;
        if (size <= max_block_size)
            log_error("device has %" PRIu64 " blocks of %u bytes, more than a volume can hold; "
                      "use a block size of %u bytes or more\n",
                      blocks, volume.block_size, size);
        else
            log_error("device has %" PRIu64 " blocks of %u bytes, more than a volume can hold "
                      "with any block size\n",
                      blocks, volume.block_size);
        return 1;
    }
    volume.total_blocks = std::uint32_t(blocks);
    return 0;
}

// Refuses, before anything is written, a geometry that cannot hold the
// reserved blocks, the root block and the bitmap blocks behind them.
int check_geometry(bool root_given, long root_given_value)
{
    std::uint64_t total = volume.total_blocks, reserved = volume.reserved_blocks;
    if (total <= reserved) {
        log_error("volume of %u blocks cannot hold %u reserved blocks and a root block\n", volume.total_blocks,
                  volume.reserved_blocks);
        return 1;
    }
    if (root_given) {
        if (root_given_value < 1 || std::uint64_t(root_given_value) < reserved ||
            std::uint64_t(root_given_value) >= total) {
            log_error("root block %ld is not within blocks %u to %u of the volume\n", root_given_value,
                      volume.reserved_blocks > 1 ? volume.reserved_blocks : 1, volume.total_blocks - 1);
            return 1;
        }
        volume.root_block = std::uint32_t(root_given_value);
    } else {
        // 64-bit intermediates: the sum overflows 32 bits near 2^32 blocks
        volume.root_block = std::uint32_t((total + reserved - 1) / 2);
        if (volume.root_block == 0) {
            log_error("volume of %u blocks has no room for a root block after block 0\n", volume.total_blocks);
            return 1;
        }
    }
    std::uint64_t bitmap = bitmap_block_count();
    bitmap += bitmap_ext_count(std::uint32_t(bitmap));
    // the root and the bitmap blocks lie after the reserved blocks and never
    // in block 0, which allocate_block does not hand out
    std::uint64_t first = reserved > 0 ? reserved : 1;
    if (total - first < 1 + bitmap) {
        log_error("volume of %u blocks is too small for its root block and %" PRIu64 " bitmap blocks\n",
                  volume.total_blocks, bitmap);
        return 1;
    }
    return 0;
}

}  // namespace

int format_volume(std::uint64_t device_bytes, bool root_given, long root_given_value)
{
    if (size_device(device_bytes) != 0 || check_geometry(root_given, root_given_value) != 0)
        return 1;
    init_root_block();
    reporter().note(Note::Geometry, {volume.total_blocks, volume.block_size, volume.reserved_blocks, volume.root_block});
    // the whole volume is laid out in memory before anything is written
    if (create_bitmap() != 0)
        return 1;
    WritePlan plan = format_write_plan();
    if (save_plan(plan) != 0)
        return 1;
    report_bitmap_allocation();
    return execute_plan(plan);
}
