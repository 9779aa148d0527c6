// The allocation bitmap: the work map and the disk map in the word layout of
// the bitmap blocks (map bit k is bit k & 7 of byte (k >> 3) XOR 3), and the
// bitmap blocks with their extension chain on the volume.
//
// On the volume a set bit means free; in memory a set bit means in use, and
// the copies between the two invert every bit.  A fresh map is then all 0,
// which zeroed memory from the system already is: a map is never filled, and
// its pages that hold only free blocks are never touched.  The work map also
// records the span of its bytes that were ever written, so that storing it
// passes over the bitmap blocks that hold only free blocks without reading
// their part of the map.
#include "volume.h"

#include <cstdlib>
#include <cstring>

namespace {

// `count` bytes (a multiple of 4) from `from` to `to`, every bit inverted
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

inline std::size_t map_byte(std::uint64_t bit) { return std::size_t((bit >> 3) ^ 3); }
inline std::uint8_t map_mask(std::uint64_t bit) { return std::uint8_t(1u << (bit & 7)); }

std::uint32_t map_bytes_per_block() { return volume.block_size - 4; }
std::uint32_t ext_pointers_per_block() { return volume.block_size / 4 - 1; }

// the work map bytes [written_from, written_to) hold every byte ever written
std::size_t written_from, written_to;

// sets `bits` of work map byte `index` (blocks now in use), noting the write
inline void set_map_bits(std::size_t index, std::uint8_t bits)
{
    volume.work_map[index] |= bits;
    if (index < written_from)
        written_from = index;
    if (index >= written_to)
        written_to = index + 1;
}

// Allocates both maps with every block free.
int setup_maps()
{
    std::size_t size = std::size_t(bitmap_block_count()) * volume.block_size;
    // allocations that report failure, so that a map too large for memory
    // ends the run with a message
    volume.work_map = static_cast<std::uint8_t *>(std::calloc(size ? size : 1, 1));
    volume.disk_map = volume.work_map ? static_cast<std::uint8_t *>(std::calloc(size ? size : 1, 1)) : nullptr;
    if (!volume.work_map || !volume.disk_map) {
        log_error("unable to allocate bitmap\n");
        return 1;
    }
    written_from = SIZE_MAX;
    written_to = 0;
    mark_block_used(volume.root_block);
    volume.alloc_hint = volume.root_block;
    return 0;
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

// Searches map bits [from, limit) for a free block, byte by byte, passing
// over bytes of eight used blocks with one test.
bool find_free_bit(std::uint64_t from, std::uint64_t limit, std::uint64_t &found)
{
    const std::uint8_t *map = volume.work_map;
    std::uint64_t bit = from;
    while (bit < limit) {
        std::uint8_t byte = map[map_byte(bit)];
        if (byte == 0xFF) {
            bit = (bit | 7) + 1;
            continue;
        }
        for (; bit < limit; ++bit) {
            if (!(byte & map_mask(bit))) {
                found = bit;
                return true;
            }
            if ((bit & 7) == 7) {
                ++bit;
                break;
            }
        }
    }
    return false;
}

// Marks a free block inside the volume in use and returns true; returns
// false, changing nothing, for any other block.
inline bool try_mark(std::uint32_t block)
{
    if (block < volume.reserved_blocks || block >= volume.total_blocks)
        return false;
    std::uint64_t bit = block - volume.reserved_blocks;
    std::size_t index = map_byte(bit);
    if (volume.work_map[index] & map_mask(bit))
        return false;
    set_map_bits(index, map_mask(bit));
    return true;
}

}  // namespace

int mark_block_used(std::uint32_t block)
{
    if (try_mark(block))
        return 0;
    if (block < volume.reserved_blocks)
        log_error("can't allocate block %d (block is %s)\n", block, "reserved");
    else if (block >= volume.total_blocks)
        log_error("can't allocate block %d (block is %s)\n", block, "out of range");
    else
        log_error("block %d already allocated\n", block);
    return 1;
}

bool mark_free_block(std::uint32_t block)
{
    return try_mark(block);
}

void mark_table_used(const std::uint8_t *table, std::uint32_t count)
{
    std::uint64_t reserved = volume.reserved_blocks, total = volume.total_blocks;
    for (std::uint32_t i = count; i-- > 0;) {
        std::uint32_t block = get_long(table, 4 * i);
        // A file's data blocks mostly follow each other: eight of them that
        // fill one map byte of free blocks are marked in one step.  None of
        // them would have had a message, one by one.
        // (64-bit sums: a block number near 2^32 must not wrap into range)
        if (i >= 7 && block >= reserved && std::uint64_t(block) + 8 <= total && ((block - reserved) & 7) == 0) {
            std::size_t index = map_byte(block - reserved);
            bool run = volume.work_map[index] == 0;
            for (std::uint32_t k = 1; run && k < 8; ++k)
                run = get_long(table, 4 * (i - k)) == std::uint64_t(block) + k;
            if (run) {
                set_map_bits(index, 0xFF);
                i -= 7;
                continue;
            }
        }
        mark_block_used(block);
    }
}

void prefetch_mark(std::uint32_t block)
{
    if (block >= volume.reserved_blocks && block < volume.total_blocks)
        __builtin_prefetch(volume.work_map + map_byte(block - volume.reserved_blocks), 1);
}

std::uint32_t allocate_block()
{
    std::uint64_t reserved = volume.reserved_blocks;
    if (volume.total_blocks <= reserved)
        return 0;
    std::uint64_t found;
    // Block 0 is the boot block, which holds the DOS type, and 0 is the
    // result that means no free block: with no reserved blocks its map bit
    // exists, but it is never handed out.
    std::uint64_t low = reserved == 0 ? 1 : 0;
    std::uint64_t start = volume.alloc_hint > reserved ? volume.alloc_hint - reserved : 0;
    std::uint64_t root = volume.root_block > reserved ? volume.root_block - reserved : 0;
    if (start < low)
        start = low;
    if (!find_free_bit(start, volume.total_blocks - reserved, found) && !find_free_bit(low, root, found))
        return 0;
    set_map_bits(map_byte(found), map_mask(found));
    volume.alloc_hint = std::uint32_t(reserved + found);
    return volume.alloc_hint;
}

int block_is_used(std::uint32_t block)
{
    if (block < volume.reserved_blocks || block >= volume.total_blocks)
        return 1;
    std::uint64_t bit = block - volume.reserved_blocks;
    return (volume.work_map[map_byte(bit)] & map_mask(bit)) ? 1 : 0;
}

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

int create_bitmap()
{
    if (setup_maps() != 0)
        return 1;
    std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i) {
        std::uint32_t b = allocate_block();
        log_verbose(2, "alloc bitmap %d at %d\n", i, b);
        put_tail(root, bitmap_page(i), b);
    }
    if (count <= root_bitmap_pages)
        return 0;

    std::uint32_t ext = allocate_block();
    log_verbose(2, "alloc ext bitmap at %d\n", ext);
    put_tail(root, field::bitmap_ext, ext);
    std::uint32_t remaining = count - root_bitmap_pages;
    std::uint32_t per = ext_pointers_per_block();
    alignas(4) std::uint8_t buffer[max_block_size];
    for (;;) {
        std::memset(buffer, 0, volume.block_size);
        std::uint32_t take = remaining < per ? remaining : per;
        remaining -= take;
        for (std::uint32_t j = 0; j < take; ++j) {
            std::uint32_t b = allocate_block();
            log_verbose(2, "alloc bitmap %d at %d\n", j, b);
            put_long(buffer, 4 * j, b);
        }
        if (remaining == 0)
            return write_block(buffer, ext);
        std::uint32_t next = allocate_block();
        log_verbose(2, "alloc ext bitmap at %d\n", next);
        put_long(buffer, 4 * take, next);
        // store_bitmap reads the chain back: one missing link would send
        // the bitmap blocks behind it to whatever the block held before
        if (write_block(buffer, ext) != 0)
            return 1;
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
