// The allocation bitmap in memory: the work map and the disk map in the word
// layout of the bitmap blocks (map bit k is bit k & 7 of byte (k >> 3) XOR 3),
// the marking of blocks in use and the allocation of free ones.  Reading and
// writing the bitmap blocks is in bitmap_io.cpp, the formatter's new chain
// of bitmap blocks in bitmap_create.cpp.
//
// On the volume a set bit means free; in memory a set bit means in use, and
// the copies between the two invert every bit.  A fresh map is then all 0,
// which zeroed memory from the system already is: a map is never filled, and
// its pages that hold only free blocks are never touched.  The work map also
// records the span of its bytes that were ever written, so that storing it
// passes over the bitmap blocks that hold only free blocks without reading
// their part of the map.
#include "internal.h"

#include <bit>
#include <cstdlib>

namespace {

inline std::size_t map_byte(std::uint64_t bit) { return std::size_t((bit >> 3) ^ 3); }
inline std::uint8_t map_mask(std::uint64_t bit) { return std::uint8_t(1u << (bit & 7)); }

// sets `bits` of work map byte `index` (blocks now in use), noting the write
inline void set_map_bits(std::size_t index, std::uint8_t bits)
{
    volume.work_map[index] |= bits;
    if (index < written_from)
        written_from = index;
    if (index >= written_to)
        written_to = index + 1;
}

// the two big-endian block numbers at `table` + `offset` as one number, the
// first in its high half
inline std::uint64_t pair_at(const std::uint8_t *table, std::uint32_t offset)
{
    return (std::uint64_t(get_long(table, offset)) << 32) | get_long(table, offset + 4);
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

}  // namespace

// the work map bytes [written_from, written_to) hold every byte ever written
std::size_t written_from, written_to;

// Allocates both maps with every block free.
int setup_maps()
{
    std::size_t size = std::size_t(bitmap_block_count()) * volume.block_size;
    // allocations that report failure, so that a map too large for memory
    // ends the run with a message
    volume.work_map = static_cast<std::uint8_t *>(std::calloc(size ? size : 1, 1));
    volume.disk_map = volume.work_map ? static_cast<std::uint8_t *>(std::calloc(size ? size : 1, 1)) : nullptr;
    if (!volume.work_map || !volume.disk_map) {
        raise(Problem::MapMemory);
        return 1;
    }
    written_from = SIZE_MAX;
    written_to = 0;
    mark_block_used(volume.root_block);
    volume.alloc_hint = volume.root_block;
    return 0;
}

bool try_mark_used(std::uint32_t block)
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

int mark_block_used(std::uint32_t block)
{
    if (try_mark_used(block))
        return 0;
    if (block < volume.reserved_blocks)
        raise(Problem::BlockReserved, block);
    else if (block >= volume.total_blocks)
        raise(Problem::BlockOutOfRange, block);
    else
        raise(Problem::BlockInUse, block);
    return 1;
}

std::uint32_t mark_table_run(const std::uint8_t *table, std::uint32_t count)
{
    std::uint64_t reserved = volume.reserved_blocks, total = volume.total_blocks;
    std::uint32_t i = count;  // the entries [0, i) are left
    while (i > 0) {
        std::uint32_t block = get_long(table, 4 * (i - 1));
        // A file's data blocks mostly follow each other: eight of them that
        // fill one map byte of free blocks are marked in one step.  Each of
        // them would have been marked, one by one.
        // (64-bit sums: a block number near 2^32 must not wrap into range)
        if (i >= 8 && block >= reserved && std::uint64_t(block) + 8 <= total && ((block - reserved) & 7) == 0) {
            std::size_t index = map_byte(block - reserved);
            // the eight pointers as four pairs, each pair one number with
            // the later block in its high half: compared at once with the
            // pairs that eight blocks from `block` on make (none of which
            // passes 2^32 - 1)
            const std::uint8_t *eight = table + 4 * (i - 8);
            std::uint64_t pair = ((std::uint64_t(block) + 1) << 32) | block, step = 0x200000002;
            std::uint64_t differ = (pair_at(eight, 24) ^ pair) | (pair_at(eight, 16) ^ (pair + step)) |
                                   (pair_at(eight, 8) ^ (pair + 2 * step)) | (pair_at(eight, 0) ^ (pair + 3 * step));
            if (differ == 0 && volume.work_map[index] == 0) {
                set_map_bits(index, 0xFF);
                i -= 8;
                continue;
            }
        }
        if (!try_mark_used(block))
            break;
        i -= 1;
    }
    return count - i;
}

void mark_table_used(const std::uint8_t *table, std::uint32_t count)
{
    while (count > 0) {
        count -= mark_table_run(table, count);
        // the block that ends the run gets its message
        if (count > 0) {
            count -= 1;
            mark_block_used(get_long(table, 4 * count));
        }
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

std::uint64_t blocks_in_use_on_disk()
{
    std::uint64_t blocks = std::uint64_t(volume.total_blocks) - volume.reserved_blocks;
    std::size_t bytes = std::size_t((blocks + 7) / 8);
    std::uint64_t used = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        used += std::uint64_t(std::popcount(volume.disk_map[i ^ 3]));
    return used;
}

int block_is_used(std::uint32_t block)
{
    if (block < volume.reserved_blocks || block >= volume.total_blocks)
        return 1;
    std::uint64_t bit = block - volume.reserved_blocks;
    return (volume.work_map[map_byte(bit)] & map_mask(bit)) ? 1 : 0;
}

int block_used_on_disk(std::uint32_t block)
{
    if (block < volume.reserved_blocks || block >= volume.total_blocks)
        return 1;
    std::uint64_t bit = block - volume.reserved_blocks;
    return (volume.disk_map[map_byte(bit)] & map_mask(bit)) ? 1 : 0;
}
