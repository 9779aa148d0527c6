// The library's own inner workings, for its sources and its tests: nothing
// here is part of the interface that the programs use.
#pragma once

#include "volume.h"

#include <bit>
#include <cstring>

// The ways to compute block_checksum and all_zero: 256-bit vectors, 64-bit
// words (little-endian processors), or one long at a time.  Each gives the
// same result; the best one that the processor has (BestPath) is used unless
// a test selects another.  false when the processor cannot run the path
// asked for.
enum KernelPath { Avx2Path, WordPath, PlainPath, BestPath };
bool select_kernel_path(KernelPath path);

// ---------------------------------------------------------------------------
// The allocation bitmap in memory (bitmap.cpp), for the load, the store and
// the formatter's creation of the bitmap blocks

// map bytes held by one bitmap block, and block pointers held by one bitmap
// extension block (the last long names the next extension block)
inline std::uint32_t map_bytes_per_block() { return volume.block_size - 4; }
inline std::uint32_t ext_pointers_per_block() { return volume.block_size / 4 - 1; }

// the work map bytes [written_from, written_to) hold every byte ever written
extern std::size_t written_from, written_to;

// Allocates both maps with every block free, then marks the root block used.
int setup_maps();

// Marks a free block inside the volume in use and returns true; for a
// reserved block, one out of range or one already in use it returns false
// and prints and changes nothing (mark_block_used would print a message).
bool try_mark_used(std::uint32_t block);
// try_mark_used for the `count` big-endian block numbers at `table`, from the
// last one back to the first, until one returns false; the number marked
std::uint32_t mark_table_run(const std::uint8_t *table, std::uint32_t count);
// mark_block_used for each of the `count` big-endian block numbers at
// `table`, from the last one back to the first
void mark_table_used(const std::uint8_t *table, std::uint32_t count);
// Starts bringing the work map's bit of `block` into the cache, ahead of its
// mark_block_used; changes nothing that can be seen.
void prefetch_mark(std::uint32_t block);
// the blocks that the disk map holds in use (the bits past the last block of
// the last map byte may count too): the measure of the walk's progress
std::uint64_t blocks_in_use_on_disk();
// the walk's progress starts from 0, out of the blocks in use on the disk
void start_walk_progress();
// 1 when the work map has `block` in use (a reserved block or one out of
// range counts as used), for the tests
int block_is_used(std::uint32_t block);
// the same for the disk map: 1 when the volume's bitmap has `block` in use
int block_used_on_disk(std::uint32_t block);

// The bitmap chain of the volume, as load_bitmap read it or create_bitmap
// made it: the bitmap block pointers and the extension blocks in chain order.
struct BitmapChain {
    std::vector<std::uint32_t> pointers;
    std::vector<std::uint32_t> extensions;
};
const BitmapChain &bitmap_chain();

// Where bitmap block `index` of the chain is named: entry `slot` of the
// root's bitmap_pages, or entry `slot` of extension block `ext`.
struct ChainPlace {
    bool in_root;
    std::uint32_t ext;
    std::uint32_t slot;
};
ChainPlace chain_place(std::uint32_t index);
// true when bitmap block `index` of the chain was read into the disk map
bool bitmap_block_taken(std::uint32_t index);
// After the walk: a bitmap block that could not be loaded (unreadable, or a
// bad checksum) is written over by the store when its pointer is sound:
// inside the volume past the reserved blocks, not the root block, named once
// by the chain and owned by no entry that the walk reached.  Those blocks
// are marked in use in the work map.
void settle_bad_bitmap_blocks();
// the bad bitmap blocks that the store writes over
std::uint32_t rebuildable_bitmap_blocks();
// true when the bitmap must not be written: a bitmap error that the store
// cannot mend; `reason` is the first such error
bool bitmap_refused(Problem &reason);
// the same, over the findings `t` (those of a walk of the repaired tree)
bool bitmap_refused(Problem &reason, const Tallies &t);
// extension block `k` of the chain, as the formatter writes it
void fill_extension_block(std::uint32_t k, std::uint8_t *buffer);
// bitmap_buffer := sealed bitmap block `index` of the work map; `all_free`
// as for the last call (the buffer may be kept)
void fill_bitmap_block_of(std::uint32_t index, bool &all_free);
// the note of bitmap block `index` of the chain, about to be written
void note_bitmap_write(std::uint32_t index);

// ---------------------------------------------------------------------------
// The walk of one file's blocks (walk.cpp)

// `header` holds the file header read from `header_block`; its extension
// blocks are read over it
int check_file_blocks(std::uint8_t *header, std::uint32_t header_block);

// ---------------------------------------------------------------------------
// The listing line of the text reporter (listing.cpp) for a directory, file
// or link entry, formatted by hand with the text of printf into `line`,
// which has room for listing_line_room bytes; its length.
constexpr std::size_t listing_line_room = 512;  // 11 + 79 + 1 + 11 + 25 + 1 + 255 + 1 at most
std::size_t format_listing_line(const std::uint8_t *header, std::int32_t secondary_type, char *line);

// The decimal digits of `value` end at `end`; returns where they start.
char *decimal(char *end, std::uint32_t value);
// the number of decimal digits of `value`
std::size_t digit_count(std::uint32_t value);

// The traces " [%u]" of blocks at level 2, formatted by hand: on a large
// volume the data block traces are most of the output, and the text is the
// same as printf's.
// where byte `at` of a 16-byte text lies in its word
inline unsigned shift_of(std::size_t at)
{
    unsigned byte = unsigned(at % 8);
    return 8 * (std::endian::native == std::endian::little ? byte : 7 - byte);
}

// Makes the trace of `block` the last one, from its digits.
inline void fresh_trace(std::uint32_t block, LastTrace &last)
{
    char fresh[16] = {};
    std::size_t count = digit_count(block);
    fresh[0] = ' ';
    fresh[1] = '[';
    decimal(fresh + 2 + count, block);
    fresh[2 + count] = ']';
    last.length = count + 3;
    last.block = block;
    std::memcpy(&last.low, fresh, 8);
    std::memcpy(&last.high, fresh + 8, 8);
}

// What turns the last trace into that of the block after it: the sum that
// adds one to its last digit, in the word that holds it, and how many times
// it can be added before that digit would pass '9' (0 without a last trace);
// then, with the last digit at '9', the sum that makes it '0' and adds one
// to the digit before it, which `carries` says that digit takes (it is one
// of '0' to '8', not the '9' of a longer carry nor the '[').
struct TraceStep {
    std::uint64_t low = 0, high = 0;
    unsigned room = 0;
    bool carries = false;
    std::uint64_t carry_low = 0, carry_high = 0;
};
inline TraceStep next_step(const LastTrace &last)
{
    TraceStep step;
    if (last.length == 0)
        return step;
    std::size_t at = last.length - 2;  // the last digit; the byte before it is at - 1
    auto byte = [&](std::size_t k) { return ((k < 8 ? last.low : last.high) >> shift_of(k)) & 0xFF; };
    auto in_low = [](std::size_t k, std::uint64_t sum) { return k < 8 ? sum : 0; };
    auto in_high = [](std::size_t k, std::uint64_t sum) { return k < 8 ? 0 : sum; };
    std::uint64_t digit = byte(at), before = byte(at - 1);
    std::uint64_t one = std::uint64_t(1) << shift_of(at), one_before = std::uint64_t(1) << shift_of(at - 1);
    step.low = in_low(at, one);
    step.high = in_high(at, one);
    step.room = unsigned('9' - digit);
    step.carries = before >= '0' && before < '9';
    // (sums modulo 2^64: '9' less 9 and a digit below '9' plus 1 stay
    // within their bytes)
    step.carry_low = in_low(at - 1, one_before) - in_low(at, 9 * one);
    step.carry_high = in_high(at - 1, one_before) - in_high(at, 9 * one);
    return step;
}

// Puts the trace of `block` at `out`, which has room for 16 bytes, and
// returns its length.
inline std::size_t put_trace(char *out, std::uint32_t block, LastTrace &last)
{
    TraceStep step = next_step(last);
    // (a 64-bit sum: block 0 does not follow block 2^32 - 1)
    if (step.room != 0 && block == std::uint64_t(last.block) + 1) {
        last.low += step.low;
        last.high += step.high;
        last.block = block;
    } else {
        fresh_trace(block, last);
    }
    std::memcpy(out, &last.low, 8);
    std::memcpy(out + 8, &last.high, 8);
    return last.length;
}


// ---------------------------------------------------------------------------
// Repairs of the tree (repair.cpp)

// While set, read_block asks it first: true when it filled `buffer` with
// the block (a repaired image) and the device is not read.
extern bool (*read_overlay)(std::uint8_t *buffer, std::uint32_t block);

// The repair that each catalogue entry gets: its class and what it does.
struct RepairRule {
    RepairClass kind;
    const char *action;  // the repair, or why there is none
};
const RepairRule &repair_rule(Problem problem);

// Walks the tree from the root and repairs it in memory: the repaired
// blocks become images that read_block returns in place of the device's
// blocks, until end_repair.  `safe_only` applies only Safe repairs;
// `dry_run` applies them all in memory and tells each as what -p or -y
// would do.  Each repair is told to the reporter.
void repair_tree(bool safe_only, bool dry_run);
// true when the volume's bitmap marks in use a file or directory header
// that the walk did not reach: a repair of the tree may relink it
bool lost_headers_present();
// true when a pointer of the bitmap chain names a block out of the volume,
// a reserved block, the root, or a block named before: a repair of the
// tree replaces it
bool bitmap_pointers_unsound();
// repairs applied, and repairs left for -y, by the last repair_tree
std::uint64_t repairs_applied();
std::uint64_t repairs_left();
// the repaired blocks other than the root, in the order made
std::size_t repaired_image_count();
const std::uint8_t *repaired_image(std::size_t index, std::uint32_t &block);
// the repaired root block (the root as read when nothing changed it)
const std::uint8_t *repaired_root();
// the images are no longer read in place of the device's blocks
void end_repair();
// Links header `header` into the hash chain of directory `directory` that
// its name hashes to, in ascending order of block numbers, as the chains
// are kept.  The header's next_hash and the link before it change (as
// images).  1 when the name is unusable or a block cannot be read.
int link_into_chain(std::uint32_t directory, std::uint32_t header);
// The writes of a repair: the root block with its flag 0, the repaired
// blocks, then (with `bitmap`) the bitmap blocks, and the repaired root
// block, its flag -1 with the bitmap and 0 without.
WritePlan repair_write_plan(bool bitmap);
