// The bitmap blocks on the volume: the checker's load of the bitmap into the
// disk map, and the store of the work map that the checker's repair and the
// formatter both use.  Their extension chain is followed from the root block.
#include "internal.h"

#include <cstring>

namespace {

// `count` bytes (a multiple of 4) from `from` to `to`, every bit inverted,
// eight bytes at a step: a map of many blocks is copied in an eighth of the
// steps of a byte-wise copy
void copy_inverted(std::uint8_t *to, const std::uint8_t *from, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, from + i, 8);
        word = ~word;
        std::memcpy(to + i, &word, 8);
    }
    for (; i < count; ++i)
        to[i] = std::uint8_t(~from[i]);
}

// Takes one bitmap block named by `pointer` into the disk map at `position`;
// a block that cannot be read or does not sum to 0 counts as a bitmap error
// and leaves its part of the disk map free.  Returns whether it was taken.
bool load_bitmap_block(std::uint32_t pointer, std::uint64_t position)
{
    if (read_block(volume.bitmap_buffer, pointer) != 0 || block_checksum(volume.bitmap_buffer) != 0) {
        volume.bitmap_errors += 1;
        return false;
    }
    // A pointer to a block already in use (the root block, or a bitmap block
    // named twice) would have two bitmap blocks stored over one: it counts as
    // a bitmap error, so that the bitmap is never written back over it.
    if (mark_block_used(pointer) != 0)
        volume.bitmap_errors += 1;
    copy_inverted(volume.disk_map + position, volume.bitmap_buffer + field::bitmap_map, map_bytes_per_block());
    return true;
}

// Fills bitmap_buffer with the sealed bitmap block of the work map at
// `position`.  A block whose part of the map was never written holds only
// free blocks: `all_free` tells that the buffer already holds that block.
void fill_bitmap_block(std::uint64_t position, bool &all_free)
{
    std::uint32_t count = map_bytes_per_block();
    if (position >= written_to || position + count <= written_from) {
        if (all_free)
            return;
        std::memset(volume.bitmap_buffer + field::bitmap_map, 0xFF, count);
        all_free = true;
    } else {
        copy_inverted(volume.bitmap_buffer + field::bitmap_map, volume.work_map + position, count);
        all_free = false;
    }
    seal_block(volume.bitmap_buffer, field::bitmap_checksum);
}

}  // namespace

int load_bitmap()
{
    if (setup_maps() != 0)
        return 1;
    const std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    std::uint64_t position = 0;
    // the root's bitmap pointers lie in ascending order from bitmap_pages
    read_ahead_table(root + tail(field::bitmap_pages), count < root_bitmap_pages ? count : root_bitmap_pages);
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i, position += map_bytes_per_block()) {
        std::uint32_t b = get_tail(root, bitmap_page(i));
        if (load_bitmap_block(b, position))
            log_verbose(2, "read bitmap %d : %d\n", i, b);
    }
    if (count <= root_bitmap_pages)
        return 0;
    std::uint32_t ext = get_tail(root, field::bitmap_ext);
    if (ext == 0) {
        // the rest of the map has nowhere to go: the bitmap is never written
        // back, but the tree is still checked
        log_error("bitmap blocks missing\n");
        volume.bitmap_errors += 1;
        return 0;
    }

    alignas(4) std::uint8_t buffer[max_block_size];
    std::uint32_t remaining = count - root_bitmap_pages;
    std::uint32_t per = ext_pointers_per_block();
    for (;;) {
        if (read_block(buffer, ext) != 0) {
            volume.bitmap_errors += 1;
            return 0;
        }
        // Every extension block of a sound chain is new to the work map; one
        // met again means the chain loops or runs into other bitmap blocks.
        if (mark_block_used(ext) != 0) {
            log_error("bitmap extension chain loops at block %d\n", ext);
            volume.bitmap_errors += 1;
            return 0;
        }
        log_verbose(2, "read ext bitmap: %u\n", ext);
        std::uint32_t take = remaining < per ? remaining : per;
        // its bitmap blocks and the next extension block, asked for at once
        read_ahead_table(buffer, take + 1);
        for (std::uint32_t j = 0; j < take; ++j, position += map_bytes_per_block()) {
            std::uint32_t b = get_long(buffer, 4 * j);
            if (load_bitmap_block(b, position))
                log_verbose(2, "read bitmap %d: %u\n", j, b);
        }
        std::uint32_t next = get_long(buffer, 4 * take);
        if (next == 0 && remaining > per) {
            log_error("bitmap blocks missing\n");
            volume.bitmap_errors += 1;
            return 1;
        }
        remaining -= take;
        if (next == 0)
            return 0;
        ext = next;
    }
}

int store_bitmap()
{
    if (volume.bitmap_errors != 0) {
        log_error("error in bitmap. abort writing bitmap\n");
        return 1;
    }
    std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    std::uint32_t ext = get_tail(root, field::bitmap_ext);
    if (count > root_bitmap_pages && ext == 0) {
        log_error("bitmap blocks missing\n");
        return 1;
    }
    // the first failed write ends the store: the bitmap on the volume is
    // then incomplete whatever follows, and its flag stays as it was
    std::uint64_t position = 0;
    bool all_free = false;
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i, position += map_bytes_per_block()) {
        std::uint32_t p = get_tail(root, bitmap_page(i));
        fill_bitmap_block(position, all_free);
        log_verbose(2, "write bitmap %d : %d\n", i, p);
        if (write_block(volume.bitmap_buffer, p) != 0)
            return 1;
    }
    if (count > root_bitmap_pages) {
        alignas(4) std::uint8_t buffer[max_block_size];
        std::uint32_t remaining = count - root_bitmap_pages;
        std::uint32_t per = ext_pointers_per_block();
        for (;;) {
            if (read_block(buffer, ext) != 0) {
                log_error("bitmap blocks missing\n");
                return 1;
            }
            std::uint32_t take = remaining < per ? remaining : per;
            for (std::uint32_t j = 0; j < take; ++j, position += map_bytes_per_block()) {
                std::uint32_t p = get_long(buffer, 4 * j);
                fill_bitmap_block(position, all_free);
                log_verbose(2, "write bitmap %d: %u\n", j, p);
                if (write_block(volume.bitmap_buffer, p) != 0)
                    return 1;
            }
            if (per >= remaining)
                break;
            std::uint32_t next = get_long(buffer, 4 * take);
            remaining -= take;
            if (next == 0) {
                log_error("bitmap blocks missing\n");
                return 1;
            }
            ext = next;
        }
    }
    put_tail(root, field::bitmap_flag, 0xFFFFFFFFu);
    return 0;
}
