// The search for headers that the walk did not reach.
#include "salvage.h"

#include "internal.h"

#include <cstring>

bool bitmap_marks_used(std::uint32_t block)
{
    if (!volume.disk_map || block < volume.reserved_blocks || block >= volume.total_blocks)
        return true;
    std::uint64_t k = block - volume.reserved_blocks;
    // the maps keep each long's bytes in the processor's order
    return (volume.disk_map[(k >> 3) ^ 3] >> (k & 7)) & 1;
}

std::vector<LostHeader> find_lost_headers(bool in_use_only)
{
    std::vector<LostHeader> found;
    std::vector<bool> skip(volume.total_blocks, false);
    if (volume.root_block < volume.total_blocks)
        skip[volume.root_block] = true;
    const BitmapChain &chain = bitmap_chain();
    for (std::uint32_t b : chain.pointers)
        if (b < volume.total_blocks)
            skip[b] = true;
    for (std::uint32_t b : chain.extensions)
        if (b < volume.total_blocks)
            skip[b] = true;
    alignas(4) std::uint8_t buffer[max_block_size];
    for (std::uint32_t b = volume.reserved_blocks; b < volume.total_blocks; ++b) {
        if (skip[b] || block_walked(b) || (in_use_only && (block_is_used(b) || !bitmap_marks_used(b))))
            continue;
        if (read_block(buffer, b) != 0)
            continue;
        if (get_long(buffer, field::type) != header_type || get_long(buffer, field::header_key) != b ||
            block_checksum(buffer) != 0)
            continue;
        std::int32_t secondary = std::int32_t(get_tail(buffer, field::secondary_type));
        if (secondary != File && secondary != Dir)
            continue;
        std::size_t length = buffer[tail(field::name_length)];
        if (length > name_room)
            length = name_room;
        LostHeader lost{b, get_tail(buffer, field::parent), secondary,
                        std::string(reinterpret_cast<const char *>(buffer + tail(field::name)), length),
                        bitmap_marks_used(b)};
        found.push_back(std::move(lost));
    }
    return found;
}
