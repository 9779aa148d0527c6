// The bitmap chain: the checker's load of the bitmap blocks into the disk
// map (the one walk of the chain on the volume), the formatter's new chain,
// and the contents of the bitmap and extension blocks that the write plans
// write.  Both record the chain, which the store and the plans then follow.
#include "internal.h"

#include <algorithm>

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

BitmapChain chain;

// The bitmap blocks of the chain that could not be taken (by their place in
// the chain), what was wrong with them, and how many of them the store may
// write over because their pointers are sound.
struct BadBlock {
    std::uint32_t index;
    Problem problem;
};
std::vector<BadBlock> bad_blocks;
std::uint32_t rebuildable;
Problem first_unrebuildable = Problem::Count;

// Takes one bitmap block named by `pointer` into the disk map at `position`;
// a block that cannot be read or does not sum to 0 counts as a bitmap error
// and leaves its part of the disk map free.  Returns whether it was taken.
bool load_bitmap_block(std::uint32_t pointer, std::uint64_t position)
{
    if (read_block(volume.bitmap_buffer, pointer) != 0) {
        raise(Problem::BitmapUnreadable, pointer);
        bad_blocks.push_back({std::uint32_t(chain.pointers.size() - 1), Problem::BitmapUnreadable});
        return false;
    }
    if (std::uint32_t sum = block_checksum(volume.bitmap_buffer); sum != 0) {
        raise(Problem::BitmapChecksum, pointer, sum);
        bad_blocks.push_back({std::uint32_t(chain.pointers.size() - 1), Problem::BitmapChecksum});
        return false;
    }
    // A pointer to a block already in use (the root block, or a bitmap block
    // named twice) would have two bitmap blocks stored over one: it counts as
    // a bitmap error, so that the bitmap is never written back over it.
    if (mark_block_used(pointer) != 0)
        raise(Problem::BitmapPointerInUse, pointer);
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

void note_bitmap(BlockAction action, std::uint32_t index, std::uint32_t block)
{
    ChainPlace place = chain_place(index);
    reporter().blocks({BlockKind::Bitmap, action, block, place.slot, place.in_root});
}

}  // namespace

const BitmapChain &bitmap_chain() { return chain; }

ChainPlace chain_place(std::uint32_t index)
{
    if (index < root_bitmap_pages)
        return {true, 0, index};
    std::uint32_t per = ext_pointers_per_block();
    return {false, (index - root_bitmap_pages) / per, (index - root_bitmap_pages) % per};
}

// The one walk of the chain on the volume: the root's pointers, then each
// extension block's, up to the bitmap block count; the next extension block
// is named by the long right after the last pointer taken from a block.
int load_bitmap()
{
    chain = {};
    bad_blocks.clear();
    rebuildable = 0;
    first_unrebuildable = Problem::Count;
    if (setup_maps() != 0)
        return 1;
    const std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    std::uint64_t position = 0;
    // the root's bitmap pointers lie in ascending order from bitmap_pages
    read_ahead_table(root + tail(field::bitmap_pages), count < root_bitmap_pages ? count : root_bitmap_pages);
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i, position += map_bytes_per_block()) {
        std::uint32_t b = get_tail(root, bitmap_page(i));
        chain.pointers.push_back(b);
        if (load_bitmap_block(b, position))
            note_bitmap(BlockAction::Read, i, b);
    }
    if (count <= root_bitmap_pages)
        return 0;
    std::uint32_t ext = get_tail(root, field::bitmap_ext);
    if (ext == 0) {
        // the rest of the map has nowhere to go: the bitmap is never written
        // back, but the tree is still checked
        raise(Problem::BitmapMissing);
        return 0;
    }

    alignas(4) std::uint8_t buffer[max_block_size];
    std::uint32_t remaining = count - root_bitmap_pages;
    std::uint32_t per = ext_pointers_per_block();
    for (;;) {
        if (read_block(buffer, ext) != 0) {
            raise(Problem::BitmapExtUnreadable, ext);
            return 0;
        }
        // Every extension block of a sound chain is new to the work map; one
        // met again means the chain loops or runs into other bitmap blocks.
        if (mark_block_used(ext) != 0) {
            raise(Problem::BitmapExtLoop, ext);
            return 0;
        }
        chain.extensions.push_back(ext);
        reporter().blocks({BlockKind::BitmapExt, BlockAction::Read, ext, 0, false});
        std::uint32_t take = remaining < per ? remaining : per;
        // its bitmap blocks and the next extension block, asked for at once
        read_ahead_table(buffer, take + 1);
        for (std::uint32_t j = 0; j < take; ++j, position += map_bytes_per_block()) {
            std::uint32_t b = get_long(buffer, 4 * j);
            chain.pointers.push_back(b);
            if (load_bitmap_block(b, position))
                reporter().blocks({BlockKind::Bitmap, BlockAction::Read, b, j, false});
        }
        std::uint32_t next = get_long(buffer, 4 * take);
        if (next == 0 && remaining > per) {
            raise(Problem::BitmapMissing);
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
    chain = {};
    if (setup_maps() != 0)
        return 1;
    std::uint8_t *root = volume.root_buffer;
    std::uint32_t count = bitmap_block_count();
    // the blocks in the order they are handed out: the root's bitmap blocks,
    // then each extension block before the bitmap blocks it names
    for (std::uint32_t i = 0; i < count && i < root_bitmap_pages; ++i) {
        chain.pointers.push_back(allocate_block());
        put_tail(root, bitmap_page(i), chain.pointers.back());
    }
    if (count <= root_bitmap_pages)
        return 0;
    chain.extensions.push_back(allocate_block());
    put_tail(root, field::bitmap_ext, chain.extensions.back());
    std::uint32_t remaining = count - root_bitmap_pages;
    std::uint32_t per = ext_pointers_per_block();
    for (;;) {
        std::uint32_t take = remaining < per ? remaining : per;
        remaining -= take;
        for (std::uint32_t j = 0; j < take; ++j)
            chain.pointers.push_back(allocate_block());
        if (remaining == 0)
            return 0;
        chain.extensions.push_back(allocate_block());
    }
}

void settle_bad_bitmap_blocks()
{
    if (bad_blocks.empty())
        return;
    // the chain's blocks sorted, so that a hostile chain of a million bad
    // bitmap blocks is not counted through a million times
    std::vector<std::uint32_t> pointers = chain.pointers, extensions = chain.extensions;
    std::sort(pointers.begin(), pointers.end());
    std::sort(extensions.begin(), extensions.end());
    auto named = [](const std::vector<std::uint32_t> &sorted, std::uint32_t p) {
        auto [first, last] = std::equal_range(sorted.begin(), sorted.end(), p);
        return last - first;
    };
    for (const BadBlock &bad : bad_blocks) {
        std::uint32_t p = chain.pointers[bad.index];
        // Sound: inside the volume past the reserved blocks, not the root,
        // named once by the chain, and owned by no entry that the walk
        // reached (which would have marked it).  It is marked now: the
        // rebuilt map has it in use as the bitmap block it is.
        bool sound = p >= volume.reserved_blocks && p < volume.total_blocks && p != volume.root_block &&
                     named(pointers, p) == 1 && named(extensions, p) == 0 && try_mark_used(p);
        if (sound)
            rebuildable += 1;
        else if (first_unrebuildable == Problem::Count)
            first_unrebuildable = bad.problem;
    }
}

std::uint32_t rebuildable_bitmap_blocks() { return rebuildable; }

bool bitmap_block_taken(std::uint32_t index)
{
    if (index >= chain.pointers.size())
        return false;
    // the bad blocks are recorded in the chain's order
    auto bad = std::lower_bound(bad_blocks.begin(), bad_blocks.end(), index,
                                [](const BadBlock &b, std::uint32_t i) { return b.index < i; });
    return bad == bad_blocks.end() || bad->index != index;
}

bool bitmap_refused(Problem &reason) { return bitmap_refused(reason, tallies()); }

bool bitmap_refused(Problem &reason, const Tallies &t)
{
    if (t.of(Effect::BitmapError) <= rebuildable)
        return false;
    if (first_unrebuildable != Problem::Count) {
        reason = first_unrebuildable;
        return true;
    }
    // the first of the other bitmap errors
    for (Problem p : {Problem::BitmapPointerInUse, Problem::BitmapExtUnreadable, Problem::BitmapMissing,
                      Problem::BitmapExtLoop})
        if (t.of(p) != 0) {
            reason = p;
            return true;
        }
    reason = Problem::BitmapChecksum;
    return true;
}

void report_bitmap_allocation()
{
    for (std::uint32_t i = 0; i < chain.pointers.size(); ++i) {
        ChainPlace place = chain_place(i);
        if (!place.in_root && place.slot == 0 && place.ext < chain.extensions.size())
            reporter().blocks({BlockKind::BitmapExt, BlockAction::Alloc, chain.extensions[place.ext], 0, false});
        note_bitmap(BlockAction::Alloc, i, chain.pointers[i]);
    }
}

void fill_extension_block(std::uint32_t k, std::uint8_t *buffer)
{
    std::memset(buffer, 0, volume.block_size);
    std::uint32_t per = ext_pointers_per_block();
    std::size_t first = root_bitmap_pages + std::size_t(k) * per;
    std::uint32_t take = 0;
    for (; take < per && first + take < chain.pointers.size(); ++take)
        put_long(buffer, 4 * take, chain.pointers[first + take]);
    if (k + 1 < chain.extensions.size())
        put_long(buffer, 4 * take, chain.extensions[k + 1]);
}

void fill_bitmap_block_of(std::uint32_t index, bool &all_free)
{
    fill_bitmap_block(std::uint64_t(index) * map_bytes_per_block(), all_free);
}

void note_bitmap_write(std::uint32_t index) { note_bitmap(BlockAction::Write, index, chain.pointers[index]); }
