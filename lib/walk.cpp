// The directory tree walk: every entry is checked and listed, and every block
// that the tree owns is marked in the work map.  The text of the listing and
// of the traces is made in listing.cpp.
//
// The walk keeps its own record of the header, file extension and dircache
// blocks it has visited, one bit per block of the volume.  That record, not
// the work map, tells a loop (a chain or a directory that comes back to a
// block already walked) from a cross-link (a block that two owners claim,
// which mark_block_used reports): no block is walked twice, so every walk
// ends.  Directories are walked with a stack of levels on the heap, one block
// buffer per level, so a tree of any depth costs its depth in blocks and
// never the process stack.
//
// Everything the walk finds, lists and traces goes to the run's reporter;
// the listing and the traces are made only for a reporter that wants them.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::uint8_t *visited_map;

int setup_visited()
{
    if (visited_map)
        return 0;
    std::size_t size = (std::size_t(volume.total_blocks) + 7) / 8;
    visited_map = static_cast<std::uint8_t *>(std::calloc(size ? size : 1, 1));
    if (!visited_map) {
        raise(Problem::VisitedMemory);
        return 1;
    }
    return 0;
}

// Where the walk stands, for the paths of what it reports: the headers of
// the directories above (each in the buffer of its level) and the name of
// the entry at hand, if any.  A file's name is copied aside before its
// extension blocks are read over its header.
struct WalkPlace {
    std::uint8_t *const *directories = nullptr;
    std::size_t depth = 0;
    const std::uint8_t *leaf = nullptr;  // a header, or null
    std::uint8_t leaf_copy[max_block_size];
};
WalkPlace place;

void append_name(std::string &path, const std::uint8_t *header)
{
    std::size_t length = header[tail(field::name_length)];
    const char *name = reinterpret_cast<const char *>(header + tail(field::name));
    if (!path.empty())
        path += '/';
    path.append(name, strnlen(name, length < field::name ? length : field::name));
}

void build_path(const void *, std::string &path)
{
    for (std::size_t d = 0; d < place.depth; ++d)
        append_name(path, place.directories[d]);
    if (place.leaf)
        append_name(path, place.leaf);
}

const PathSource walk_path = {build_path, nullptr};

// the entry at hand is `header`, or none
inline void set_leaf(const std::uint8_t *header) { place.leaf = header; }

// Keeps the leaf's name when its header's buffer is about to be overwritten.
void keep_leaf(const std::uint8_t *header)
{
    if (place.leaf != header)
        return;
    std::memcpy(place.leaf_copy + tail(field::name_length), header + tail(field::name_length), field::name_length);
    place.leaf = place.leaf_copy;
}

// Progress: blocks marked by the walk, told to a reporter that wants them
// every 1/1024 of the blocks in use.
std::uint64_t progress_done, progress_next, progress_step, progress_total;

inline void count_done(std::uint64_t blocks)
{
    progress_done += blocks;
    if (progress_done >= progress_next) [[unlikely]] {
        if (progress_step != 0) {
            reporter().progress(progress_done, progress_total);
            progress_next = progress_done + progress_step;
        }
    }
}

}  // namespace

void start_walk_progress()
{
    progress_done = 0;
    progress_next = UINT64_MAX;
    progress_step = 0;
    if (!reporter().wants_progress)
        return;
    progress_total = blocks_in_use_on_disk();
    progress_step = progress_total / 1024 + 1;
    progress_next = progress_step;
}

namespace {

// true when the block was visited before; records it otherwise.  Blocks past
// the end of the volume are never read, so they need no record.
bool visit(std::uint32_t block)
{
    if (block >= volume.total_blocks)
        return false;
    std::uint8_t mask = std::uint8_t(1u << (block & 7));
    std::uint8_t &byte = visited_map[block >> 3];
    if (byte & mask)
        return true;
    byte |= mask;
    return false;
}

bool header_key_matches(const std::uint8_t *header, std::uint32_t block)
{
    std::uint32_t key = get_long(header, field::header_key);
    if (key == block)
        return true;
    raise(Problem::HeaderKey, block, key);
    return false;
}

// Where the directory walk stands, for a look-ahead that starts late: its
// levels, innermost last (null outside check_directory).
struct Level;
const Level *walk_levels;
std::size_t walk_depth;
void tell_read_ahead();

// Before each read of the walk: the look-ahead moves on.  One that starts
// only now is first given what the walk has still to do, from the block
// about to be read on.
inline void before_read(std::uint32_t block, AheadKind kind)
{
    if (read_ahead_waking()) {
        read_ahead_follow(block, kind);
        tell_read_ahead();
    }
    read_ahead_step(block);
}

// Takes block `b` of a chain (a file's extension blocks, a dircache chain)
// into `buffer`.  false ends the chain's walk: the chain came back to a block
// already walked (`loop`), or the block cannot be read (`unreadable`) and
// the buffer holds nothing that belongs to the chain.
bool take_chain_block(std::uint8_t *buffer, std::uint32_t b, Problem loop, Problem unreadable, AheadKind kind)
{
    if (visit(b)) {
        raise(loop, b);
        return false;
    }
    before_read(b, kind);
    if (read_block(buffer, b) != 0) {
        raise(unreadable, b);
        return false;
    }
    return true;
}

inline void trace(BlockKind kind, std::uint32_t block)
{
    reporter().blocks({kind, BlockAction::Trace, block, 0, false});
}

inline void end_traces()
{
    if (reporter().wants_blocks)
        reporter().blocks({BlockKind::Data, BlockAction::TraceEnd, 0, 0, false});
}

}  // namespace

void reset_walk_record()
{
    std::free(visited_map);
    visited_map = nullptr;
    read_ahead_end();
}

bool block_walked(std::uint32_t block)
{
    return visited_map && block < volume.total_blocks && (visited_map[block >> 3] & (1u << (block & 7)));
}

bool mark_walked(std::uint32_t block)
{
    if (setup_visited() != 0)
        return false;
    return visit(block);
}

namespace {

// The OFS data blocks of one file, in file order: each carries its file's
// header key, its place in the list (from 1), the bytes it holds and the next
// block of the list.
struct DataWalk {
    std::uint32_t header_block;
    std::uint32_t sequence = 1;
    std::uint64_t remaining;  // bytes of the file not yet accounted for
    std::uint32_t previous = 0, previous_next = 0;  // the last block read, and the next one it named
};

void check_data_block(DataWalk &walk, std::uint32_t b)
{
    std::uint32_t expected = std::uint32_t(std::min<std::uint64_t>(volume.data_bytes_per_block, walk.remaining));
    std::uint32_t sequence = walk.sequence++;
    walk.remaining -= expected;
    if (walk.previous != 0 && walk.previous_next != b)
        raise(Problem::DataNext, walk.previous, walk.previous_next, b);
    walk.previous = 0;
    // a block that cannot be a data block was reported when it was marked
    if (b < volume.reserved_blocks || b >= volume.total_blocks)
        return;
    alignas(4) std::uint8_t buffer[max_block_size];
    if (read_block(buffer, b) != 0)
        return;
    walk.previous = b;
    walk.previous_next = get_long(buffer, field::data_next);
    if (std::uint32_t type = get_long(buffer, field::type); type != data_type) {
        raise(Problem::DataType, b, type);
        walk.previous = 0;
        return;
    }
    if (std::uint32_t sum = block_checksum(buffer); sum != 0)
        raise(Problem::DataChecksum, b, sum);
    if (std::uint32_t key = get_long(buffer, field::header_key); key != walk.header_block)
        raise(Problem::DataKey, b, key, walk.header_block);
    if (std::uint32_t seq = get_long(buffer, field::data_sequence); seq != sequence)
        raise(Problem::DataSequence, b, seq, sequence);
    if (std::uint32_t size = get_long(buffer, field::data_size); size != expected)
        raise(Problem::DataSize, b, size, expected);
}

// the last data block of a file names no next block
void end_data_walk(const DataWalk &walk)
{
    if (walk.previous != 0 && walk.previous_next != 0)
        raise(Problem::DataNext, walk.previous, walk.previous_next, 0);
}

}  // namespace

int check_file_blocks(std::uint8_t *header, std::uint32_t header_block)
{
    if (setup_visited() != 0)
        return 0;
    std::uint32_t slots = hash_slots();
    std::uint32_t remaining = data_block_count(get_tail(header, field::byte_size));
    std::uint32_t current = get_long(header, field::header_key);
    bool traced = reporter().wants_blocks;
    bool old_format = volume.variant & OldFormat;
    DataWalk data{header_block, 1, get_tail(header, field::byte_size)};
    for (;;) {
        std::uint32_t expected = remaining <= slots ? remaining : slots;
        std::uint32_t high_seq = get_long(header, field::high_seq);
        if (high_seq != expected)
            raise(Problem::FileBlockCount, current, high_seq);
        // the pointers within the file's size, in file order (from the last slot)
        std::uint32_t j = slots;
        std::uint32_t count = remaining < j ? remaining : j;
        count_done(count);
        if (old_format) {
            for (std::uint32_t i = 0; i < count; ++i)
                check_data_block(data, table_entry(header, slots - 1 - i));
        }
        if (!traced) {
            mark_table_used(header + field::hash_table + 4 * (j - count), count);
            j -= count;
            remaining -= count;
        } else {
            // A block's trace comes before its mark, so that a message about
            // a block that cannot simply be marked (reserved, out of range or
            // already in use) follows its trace: the run of blocks that are
            // marked at once is traced, then the one that cannot be, then
            // its message.
            Reporter &to = reporter();
            while (count > 0) {
                std::uint32_t run = mark_table_run(header + field::hash_table + 4 * (j - count), count);
                if (run == count) {
                    to.data_blocks(header + field::hash_table + 4 * (j - run), run);
                } else {
                    // the run and the block that ends it
                    to.data_blocks(header + field::hash_table + 4 * (j - run - 1), run + 1);
                    mark_block_used(table_entry(header, j - run - 1));
                    run += 1;
                }
                j -= run;
                count -= run;
                remaining -= run;
            }
        }
        // the slots past the file's size must be 0: a run of zero slots is
        // passed over with one test, and only a table holding a pointer there
        // is looked at slot by slot
        if (!all_zero(header + field::hash_table, 4 * j)) {
            while (j-- > 0) {
                std::uint32_t p = table_entry(header, j);
                if (p != 0)
                    raise(Problem::FileBlockPastSize, p);
            }
        }
        std::uint32_t e = get_tail(header, field::extension);
        if (e == 0) {
            if (old_format && remaining == 0)
                end_data_walk(data);
            end_traces();
            return 0;
        }
        current = e;
        keep_leaf(header);
        if (!take_chain_block(header, e, Problem::ExtensionLoop, Problem::ExtensionUnreadable, AheadKind::Extension))
            return 0;
        // A block that fails its checksum or is no extension block at all
        // holds no pointers to trust: the file's walk ends, and the blocks
        // behind it stay unmarked.
        std::uint32_t sum = block_checksum(header);
        if (sum != 0) {
            raise(Problem::ExtensionChecksum, e, sum);
            return 0;
        }
        std::uint32_t type = get_long(header, field::type);
        if (type != extension_type) {
            raise(Problem::ExtensionType, e, type);
            return 0;
        }
        // a sound extension block with a wrong key, parent or secondary type
        // is reported and walked all the same
        std::uint32_t key = get_long(header, field::header_key);
        if (key != e)
            raise(Problem::ExtensionKey, e, key);
        std::uint32_t parent = get_tail(header, field::parent);
        if (parent != header_block)
            raise(Problem::ExtensionParent, e, parent, header_block);
        std::uint32_t secondary = get_tail(header, field::secondary_type);
        if (std::int32_t(secondary) != File)
            raise(Problem::ExtensionSecondaryType, e, secondary);
        if (remaining > 0) {
            mark_block_used(e);
            count_done(1);
            if (traced)
                trace(BlockKind::Extension, e);
        } else {
            raise(Problem::ExtensionPastSize, e);
        }
    }
}

int check_dircache_chain(std::uint32_t first_block)
{
    if (setup_visited() != 0)
        return 1;
    alignas(4) std::uint8_t buffer[max_block_size];
    bool traced = reporter().wants_blocks;
    for (std::uint32_t b = first_block; b != 0; b = get_long(buffer, field::dircache_next)) {
        if (!take_chain_block(buffer, b, Problem::DircacheLoop, Problem::DircacheUnreadable, AheadKind::Cache))
            return 1;
        if (std::uint32_t sum = block_checksum(buffer); sum != 0) {
            raise(Problem::DircacheChecksum, b, sum);
            return 1;
        }
        if (get_long(buffer, field::dircache_own) != b)
            raise(Problem::DircacheKey, b);
        if (traced)
            trace(BlockKind::Dircache, b);
        mark_block_used(b);
        count_done(1);
    }
    end_traces();
    return 0;
}

namespace {

// One directory being walked: its hash table (in the level above), the slot
// in it, the next entry of the slot's chain (0 when the chain is done), and
// the directory's block, which its entries name as their parent.
struct Level {
    const std::uint8_t *table;
    std::uint32_t slot;
    std::uint32_t next;
    std::uint32_t directory;
};

// An entry `a` found in slot `slot` of the table of `directory` must name
// that directory as its parent, and its name must hash to that slot: the
// volume finds a name by its hash, so an entry in another slot is lost to it.
// Both are reported; the entry is walked all the same.
void check_place(const std::uint8_t *header, std::uint32_t a, std::uint32_t directory, std::uint32_t slot)
{
    std::uint32_t parent = get_tail(header, field::parent);
    if (parent != directory)
        raise(Problem::EntryParent, a, parent, directory);
    std::uint32_t length = header[tail(field::name_length)];
    if (length >= 1 && length <= name_room) {
        std::uint32_t hash = name_hash_slot(header + tail(field::name), length);
        if (hash != slot)
            raise(Problem::EntryHashSlot, a, hash, slot);
    }
}

// The walk's stack: one level per directory being walked and one block
// buffer per depth, kept for reuse.  Plain heap arrays, released by hand, so
// that the library needs nothing of the C++ runtime library.
struct Stack {
    Level *levels = nullptr;
    std::uint8_t **buffers = nullptr;
    std::size_t count = 0;     // levels in use
    std::size_t buffered = 0;  // buffers made
    std::size_t room = 0;      // room in both arrays

    void release()
    {
        for (std::size_t i = 0; i < buffered; ++i)
            std::free(buffers[i]);
        std::free(buffers);
        std::free(levels);
    }

    // room for `n` levels and `n` buffers; false when memory ran out
    bool reserve(std::size_t n)
    {
        if (n <= room)
            return true;
        std::size_t grown = room ? 2 * room : 16;
        while (grown < n)
            grown *= 2;
        auto *more_levels = static_cast<Level *>(std::realloc(levels, grown * sizeof(Level)));
        if (!more_levels)
            return false;
        levels = more_levels;
        auto *more_buffers = static_cast<std::uint8_t **>(std::realloc(buffers, grown * sizeof(std::uint8_t *)));
        if (!more_buffers)
            return false;
        buffers = more_buffers;
        room = grown;
        return true;
    }
};

void tell_read_ahead()
{
    // from the innermost level out: the rest of the current slot's chain,
    // then the slots after it
    std::uint32_t slots = hash_slots();
    for (std::size_t d = walk_depth; d-- > 0;) {
        const Level &level = walk_levels[d];
        read_ahead_follow(level.next, AheadKind::Entry);
        for (std::uint32_t slot = level.slot + 1; slot < slots; ++slot)
            read_ahead_follow(get_long(level.table, 4 * slot), AheadKind::Entry);
    }
}

// An entry of a directory, read from block `a` of the chain of `level`:
// directories and files must name their own block as their key (links are
// not held to it), every entry its directory and its hash slot; it is
// listed, and its header marked.
inline void take_entry(Reporter &to, const std::uint8_t *header, std::uint32_t a, const Level &level,
                       std::int32_t secondary, std::size_t depth)
{
    if (secondary == Dir || secondary == File)
        header_key_matches(header, a);
    check_place(header, a, level.directory, level.slot);
    if (to.wants_entries)
        to.entry({header, a, secondary, &walk_path, std::uint32_t(depth)});
    mark_block_used(a);
    count_done(1);
}

}  // namespace

int check_directory(const std::uint8_t *hash_table, std::uint32_t directory)
{
    if (setup_visited() != 0)
        return 1;
    std::uint32_t slots = hash_slots();
    Stack stack;
    if (!stack.reserve(1)) {
        raise(Problem::LevelMemory, 0, 0);
        stack.release();
        return 1;
    }
    stack.levels[stack.count++] = {hash_table, 0, get_long(hash_table, 0), directory};
    if (read_ahead_start()) {
        for (std::uint32_t slot = 0; slot < slots; ++slot)
            read_ahead_follow(get_long(hash_table, 4 * slot), AheadKind::Entry);
        read_ahead_step(0);
    }
    set_report_path(&walk_path);
    Reporter &to = reporter();
    int result = 0;
    while (stack.count != 0) {
        std::size_t depth = stack.count - 1;
        Level *level = &stack.levels[depth];
        if (level->next == 0) {
            if (++level->slot >= slots)
                stack.count -= 1;
            else
                level->next = get_long(level->table, 4 * level->slot);
            continue;
        }
        std::uint32_t a = level->next;
        level->next = 0;  // the chain ends here unless the entry continues it
        place.directories = stack.buffers;
        place.depth = depth;
        set_leaf(nullptr);
        if (visit(a)) {
            raise(Problem::EntryLoop, a);
            continue;
        }
        if (depth == stack.buffered) {
            // room also for the level below, which a directory entry opens
            std::uint8_t *buffer = nullptr;
            if (stack.reserve(depth + 2))
                buffer = static_cast<std::uint8_t *>(std::malloc(volume.block_size));
            if (!buffer) {
                raise(Problem::LevelMemory, 0, std::uint32_t(depth));
                result = 1;
                break;
            }
            stack.buffers[stack.buffered++] = buffer;
            level = &stack.levels[depth];  // the arrays may have moved
            place.directories = stack.buffers;
        }
        std::uint8_t *buffer = stack.buffers[depth];
        // the header's bit is marked after its read, which hides the wait
        prefetch_mark(a);
        walk_levels = stack.levels;
        walk_depth = stack.count;
        before_read(a, AheadKind::Entry);
        if (read_block(buffer, a) != 0) {
            raise(Problem::HeaderUnreadable, a);
            continue;
        }
        // and a file's first data block after the checksum
        prefetch_mark(table_entry(buffer, slots - 1));
        std::uint32_t sum = block_checksum(buffer);
        if (sum != 0) {
            raise(Problem::HeaderChecksum, a, sum);
            continue;
        }
        std::uint32_t type = get_long(buffer, field::type);
        if (type != header_type) {
            raise(Problem::HeaderType, a, type);
            continue;
        }
        std::int32_t secondary = std::int32_t(get_tail(buffer, field::secondary_type));
        if (secondary != Root)
            set_leaf(buffer);
        switch (secondary) {
        case Dir:
            take_entry(to, buffer, a, *level, secondary, depth);
            if (volume.variant & DirCache)
                check_dircache_chain(get_tail(buffer, field::extension));
            level->next = get_tail(buffer, field::next_hash);
            stack.levels[stack.count++] = {buffer + field::hash_table, 0, get_long(buffer, field::hash_table), a};
            break;
        case File:
            take_entry(to, buffer, a, *level, secondary, depth);
            level->next = get_tail(buffer, field::next_hash);
            check_file_blocks(buffer, a);
            break;
        case SoftLink:
        case LinkDir:
        case FileLink:
            take_entry(to, buffer, a, *level, secondary, depth);
            level->next = get_tail(buffer, field::next_hash);
            break;
        case Root:
            raise(Problem::HeaderRootType, a);
            break;
        default:
            raise(Problem::HeaderSecondaryType, a, std::uint32_t(secondary));
            break;
        }
    }
    set_report_path(nullptr);
    place = {};
    stack.release();
    walk_levels = nullptr;
    walk_depth = 0;
    return result;
}
