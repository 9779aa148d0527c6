// Repairs of the tree.  After the check, the tree is walked once more from
// the root, and what the check found is set right in memory: every block
// that a repair changes becomes an image, which read_block returns in place
// of the device's block.  A second walk of the check over those images then
// rebuilds the bitmap from the repaired tree, and the write plan takes the
// images to the volume between the root block written with its bitmap flag
// 0 and the root block written with the flag set.
//
// The walk is conservative: it keeps every block that a reached entry uses
// and frees nothing it cannot prove unused.  A block it cannot trust is cut
// from its chain or list; what that hides is left to the bitmap rebuild,
// which frees only blocks that no repaired entry reaches.
//
// Directories are taken one at a time from a list (never the process
// stack); each directory's chains are settled first (loops cut, rejected
// headers unlinked, bad checksums resealed), then entries are moved into
// the slot their name hashes to, then each entry's own fields are set.
// Then the headers that no directory reaches come back (into their parent,
// or lost+found), the directory caches that are damaged or stale are
// rebuilt, and files' block lists come last, once every header of the tree
// is known, so that a data pointer onto a header is seen as the block
// claimed twice that it is.  Unsound bitmap pointers are replaced at the
// very end, from the blocks that are still free.
#include "internal.h"
#include "salvage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using C = RepairClass;

// One row per entry of Problem, in its order.
constexpr RepairRule rules[] = {
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // read-reserved
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // read-out-of-range
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // read-error
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // read-short
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // seek-error
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // write-reserved
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // write-out-of-range
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // write-error
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // write-short
    {C::ReportOnly, "the device failed: nothing on the volume to repair"},  // flush-error
    {C::ReportOnly, "no volume found: nothing to repair"},                   // root-not-found
    {C::ReportOnly, "not a volume of a known variant: nothing to repair"},  // unknown-dos-type
    {C::ReportOnly, "advice: a partition is checked with -p PART"},         // partition-table
    {C::ReportOnly, "memory ran out: nothing on the volume to repair"},     // map-memory
    {C::ReportOnly, "memory ran out: nothing on the volume to repair"},     // visited-memory
    {C::ReportOnly, "memory ran out: nothing on the volume to repair"},     // level-memory
    {C::Safe, "resealed when its other fields agree; else unlinked from its chain (-y)"},  // header-checksum
    {C::NeedsYes, "unlinked from its chain"},                                  // header-type
    {C::NeedsYes, "unlinked from its chain"},                                  // header-root-type
    {C::NeedsYes, "unlinked from its chain"},                                  // header-secondary-type
    {C::NeedsYes, "unlinked from its chain"},                                  // header-unreadable
    {C::Safe, "header key set to the block"},                                  // header-key
    {C::Safe, "parent set to the directory that holds the entry"},            // entry-parent
    {C::Safe, "moved into the chain of the slot its name hashes to"},         // entry-hash-slot
    {C::Safe, "chain cut at the repeat"},                                      // entry-loop
    {C::Safe, "block count recomputed"},                                       // file-block-count
    {C::NeedsYes, "pointer past the file's size dropped, its block freed"},   // file-block-past-size
    {C::NeedsYes, "extension chain past the file's size dropped, its blocks freed"},  // extension-past-size
    {C::Safe, "resealed when its other fields agree; else the file truncated before it (-y)"},  // extension-checksum
    {C::NeedsYes, "the file truncated before it"},                            // extension-type
    {C::NeedsYes, "the file truncated before it"},                            // extension-unreadable
    {C::Safe, "header key set to the block"},                                  // extension-key
    {C::Safe, "parent set to the file's header"},                             // extension-parent
    {C::Safe, "secondary type set to a file's"},                              // extension-secondary-type
    {C::NeedsYes, "the file truncated at the repeat"},                        // extension-loop
    {C::NeedsYes, "the header rewritten from the file's list: the block may hold something else"},  // data-type
    {C::Safe, "the header rewritten from the file's list and resealed"},      // data-checksum
    {C::Safe, "the header rewritten from the file's list"},                   // data-key
    {C::Safe, "the header rewritten from the file's list"},                   // data-sequence
    {C::Safe, "the header rewritten from the file's list"},                   // data-size
    {C::Safe, "the header rewritten from the file's list"},                   // data-next
    {C::Safe, "the directory's cache rebuilt from its entries in new blocks"},  // dircache-checksum
    {C::Safe, "the directory's cache rebuilt from its entries in new blocks"},  // dircache-unreadable
    {C::Safe, "the directory's cache rebuilt from its entries in new blocks"},  // dircache-key
    {C::Safe, "the directory's cache rebuilt from its entries in new blocks"},  // dircache-loop
    {C::NeedsYes, "the file truncated before the block"},                     // block-reserved
    {C::NeedsYes, "the file truncated before the block"},                     // block-out-of-range
    {C::NeedsYes, "the later claimant gets a copy in a new block; truncated when none is free"},  // block-in-use
    {C::Safe, "rewritten from the tree with the bitmap"},                     // bitmap-checksum
    {C::Safe, "rewritten from the tree with the bitmap"},                     // bitmap-unreadable
    {C::Safe, "a pointer out of the volume, reserved, the root or named twice replaced by a new block"},  // bitmap-pointer-in-use
    {C::ReportOnly, "not built: the extension chain is not remade yet"},      // bitmap-ext-unreadable
    {C::ReportOnly, "not built: the missing bitmap blocks are not made yet"},  // bitmap-missing
    {C::ReportOnly, "not built: the extension chain is not remade yet"},      // bitmap-ext-loop
    {C::Safe, "the bitmap rebuilt from the tree"},                            // bitmap-used-free
    {C::Safe, "the bitmap rebuilt from the tree; a lost header there linked back into its parent, "
              "or into lost+found (-y)"},                                       // bitmap-free-used
    {C::ReportOnly, "a refusal of the run, not damage"},                      // refuse-tree
    {C::ReportOnly, "a refusal of the run, not damage"},                      // refuse-bitmap
    {C::ReportOnly, "a refusal of the run, not damage"},                      // refuse-reserved
};
static_assert(sizeof rules / sizeof rules[0] == problem_count, "one repair rule per problem");

using Block = std::vector<std::uint8_t>;

struct Image {
    std::uint32_t block;
    Block bytes;
};

// the repair's state, for one run
struct RepairState_ {
    std::vector<Image> images;
    std::unordered_map<std::uint32_t, std::size_t> image_at;
    Block root;
    std::vector<std::uint8_t> seen;     // header, extension and cache blocks walked
    std::vector<std::uint8_t> claimed;  // blocks the repaired tree owns so far
    std::vector<std::uint8_t> changed;  // directories whose chains the repair changed
    std::vector<std::uint8_t> trusted;  // parts of the disk map that were read (none: no chain)
    // the bitmap blocks and extension blocks that the chain names, sorted:
    // looked up for every block that the repair walks or allocates, which a
    // scan of a large volume's chain would make quadratic
    std::vector<std::uint32_t> chain_blocks;
    bool safe_only = false;
    bool dry_run = false;
    std::uint64_t applied = 0, left = 0;
    std::uint32_t next_free = 0;  // where the search for a free block goes on
};
RepairState_ state;

bool overlay_read(std::uint8_t *buffer, std::uint32_t block)
{
    if (block == volume.root_block && !state.root.empty()) {
        std::memcpy(buffer, state.root.data(), volume.block_size);
        return true;
    }
    auto it = state.image_at.find(block);
    if (it == state.image_at.end())
        return false;
    std::memcpy(buffer, state.images[it->second].bytes.data(), volume.block_size);
    return true;
}

bool in_volume(std::uint32_t block) { return block >= volume.reserved_blocks && block < volume.total_blocks; }

bool flag(const std::vector<std::uint8_t> &set, std::uint32_t block) { return block < set.size() && set[block]; }

// the block as the repair has it so far; false when it cannot be read
bool load(std::uint32_t block, Block &out)
{
    out.resize(volume.block_size);
    if (block == volume.root_block) {
        std::memcpy(out.data(), state.root.data(), volume.block_size);
        return true;
    }
    return read_block(out.data(), block) == 0;
}

// the block's new contents as they are (a bitmap extension block has no
// checksum)
void store_raw(std::uint32_t block, const Block &bytes)
{
    if (block == volume.root_block) {
        state.root = bytes;
        return;
    }
    auto it = state.image_at.find(block);
    if (it != state.image_at.end()) {
        state.images[it->second].bytes = bytes;
        return;
    }
    state.image_at[block] = state.images.size();
    state.images.push_back({block, bytes});
}

// the block's new contents, sealed
void store(std::uint32_t block, Block &bytes)
{
    seal_block(bytes.data(), field::checksum);
    store_raw(block, bytes);
}

// Tells one repair; true when it is applied (in memory): everything but a
// repair that needs -y in a run of the safe ones only.
bool act(RepairClass kind, Problem problem, std::uint32_t block, const std::string &path, const std::string &what)
{
    bool apply = kind != RepairClass::ReportOnly && !(state.safe_only && kind == RepairClass::NeedsYes);
    RepairState how = kind == RepairClass::ReportOnly ? RepairState::Left
                      : state.dry_run                  ? RepairState::WouldDo
                      : apply                          ? RepairState::Done
                                                       : RepairState::Left;
    reporter().repair({problem, block, kind, how, what.c_str(), &path});
    if (apply)
        state.applied += 1;
    else
        state.left += 1;
    return apply;
}

std::string text(const char *format, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0)
{
    char line[160];
    std::snprintf(line, sizeof line, format, a, b, c);
    return line;
}

std::string child_path(const std::string &parent, const Block &header)
{
    std::size_t length = header[tail(field::name_length)];
    const char *name = reinterpret_cast<const char *>(header.data() + tail(field::name));
    std::string path = parent;
    if (!path.empty())
        path += '/';
    path.append(name, strnlen(name, length < name_room ? length : name_room));
    return path;
}

bool known_secondary(std::int32_t secondary)
{
    return secondary == Dir || secondary == File || secondary == SoftLink || secondary == LinkDir ||
           secondary == FileLink;
}

// the slot a header's name hashes to, or none (slots) for an unusable name
std::uint32_t name_slot(const Block &header)
{
    std::uint32_t length = header[tail(field::name_length)];
    if (length < 1 || length > name_room)
        return hash_slots();
    return name_hash_slot(header.data() + tail(field::name), length);
}

// a block that a header, an extension block or a data block may be: inside
// the volume past the reserved blocks, and neither the root nor one of the
// bitmap's own blocks
bool usable(std::uint32_t block)
{
    if (!in_volume(block) || block == volume.root_block)
        return false;
    return !std::binary_search(state.chain_blocks.begin(), state.chain_blocks.end(), block);
}

// a sound header of directory `directory` that no chain holds yet
bool valid_header_of(std::uint32_t block, std::uint32_t directory)
{
    if (block == 0 || !usable(block) || flag(state.seen, block))
        return false;
    Block h;
    if (!load(block, h) || block_checksum(h.data()) != 0 || get_long(h.data(), field::type) != header_type)
        return false;
    return known_secondary(std::int32_t(get_tail(h.data(), field::secondary_type))) &&
           get_tail(h.data(), field::parent) == directory;
}

// Sets the link that points at an entry: slot `slot` of the directory's
// table when `previous` is 0, else the next_hash of header `previous`.
void set_link(std::uint32_t directory, std::uint32_t slot, std::uint32_t previous, std::uint32_t value)
{
    Block b;
    if (directory < state.changed.size())
        state.changed[directory] = 1;
    if (previous == 0) {
        load(directory, b);
        put_long(b.data(), field::hash_table + 4 * slot, value);
        store(directory, b);
    } else {
        load(previous, b);
        put_tail(b.data(), field::next_hash, value);
        store(previous, b);
    }
}

struct Place {
    std::uint32_t block;
    std::uint32_t slot;
};

struct Job {
    std::uint32_t block;
    std::string path;
};

std::uint32_t take_free_block();

// A directory as the repair walks it: its block, its path, and its cache
// chain (dircache volumes) as found.
struct DirJob {
    std::uint32_t block;
    std::string path;
    std::vector<std::uint32_t> cache;  // the blocks of its chain that were taken
    Problem cache_damage = Problem::Count;  // what is wrong with the chain, if anything
};

// Takes the blocks of a directory's cache chain while they can be trusted;
// the first damage is kept, and the chain is rebuilt from the entries once
// the directory's chains are settled.
void take_cache_chain(DirJob &dir, std::uint32_t first)
{
    Block b;
    for (std::uint32_t c = first; c != 0; c = get_long(b.data(), field::dircache_next)) {
        if (flag(state.seen, c) || flag(state.claimed, c)) {
            dir.cache_damage = usable(c) && flag(state.seen, c) ? Problem::DircacheLoop : Problem::BlockInUse;
            return;
        }
        if (!usable(c) || !load(c, b)) {
            dir.cache_damage = Problem::DircacheUnreadable;
            return;
        }
        if (block_checksum(b.data()) != 0) {
            dir.cache_damage = Problem::DircacheChecksum;
            return;
        }
        state.seen[c] = state.claimed[c] = 1;
        dir.cache.push_back(c);
        if (get_long(b.data(), field::dircache_own) != c)
            dir.cache_damage = Problem::DircacheKey;
    }
}

// The entries of a directory, in the order of its chains, as repaired.
std::vector<std::uint32_t> chain_entries(std::uint32_t directory)
{
    std::vector<std::uint32_t> entries;
    Block table, h;
    if (!load(directory, table))
        return entries;
    for (std::uint32_t s = 0; s < hash_slots(); ++s) {
        std::uint32_t a = table_entry(table.data(), s);
        for (std::uint64_t steps = 0; a != 0 && steps <= volume.total_blocks && load(a, h); ++steps) {
            entries.push_back(a);
            a = get_tail(h.data(), field::next_hash);
        }
    }
    return entries;
}

// One record of a directory's cache: the entry's key, size, protection,
// owner, date, type, name and comment, padded to an even length.
void append_record(std::vector<std::uint8_t> &out, std::uint32_t block, const Block &h)
{
    auto put32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(std::uint8_t(v >> shift));
    };
    auto put16 = [&](std::uint32_t v) {
        out.push_back(std::uint8_t(v >> 8));
        out.push_back(std::uint8_t(v));
    };
    std::int32_t secondary = std::int32_t(get_tail(h.data(), field::secondary_type));
    put32(block);
    put32(secondary == File ? get_tail(h.data(), field::byte_size) : 0);
    put32(get_tail(h.data(), field::protection));
    std::uint32_t owner = get_tail(h.data(), field::owner);
    put16(owner >> 16);
    put16(owner & 0xFFFF);
    for (std::uint32_t i = 0; i < 3; ++i)
        put16(get_long(h.data(), tail(field::date) + 4 * i));
    out.push_back(std::uint8_t(secondary));
    std::uint32_t name_length = std::min<std::uint32_t>(h[tail(field::name_length)], name_room);
    out.push_back(std::uint8_t(name_length));
    out.insert(out.end(), h.begin() + tail(field::name), h.begin() + tail(field::name) + name_length);
    std::uint32_t comment_length = std::min<std::uint32_t>(h[tail(field::comment_length)], 79);
    out.push_back(std::uint8_t(comment_length));
    out.insert(out.end(), h.begin() + tail(field::comment), h.begin() + tail(field::comment) + comment_length);
    if (out.size() & 1)
        out.push_back(0);
}

// Rebuilds a directory's cache from its entries in new blocks; its old
// blocks are left to the bitmap, which frees what nothing else holds.
// `problem` is the damage that asked for it (Count: its chains changed).
void rebuild_cache(const DirJob &dir, Problem problem)
{
    Block d;
    if (!load(dir.block, d))
        return;
    std::vector<std::vector<std::uint8_t>> blocks(1);
    std::vector<std::uint32_t> counts(1, 0);
    std::uint32_t room = volume.block_size - field::dircache_first_record;
    Block h;
    for (std::uint32_t a : chain_entries(dir.block)) {
        if (!load(a, h))
            continue;
        std::vector<std::uint8_t> record;
        append_record(record, a, h);
        if (blocks.back().size() + record.size() > room) {
            blocks.emplace_back();
            counts.push_back(0);
        }
        blocks.back().insert(blocks.back().end(), record.begin(), record.end());
        counts.back() += 1;
    }
    std::vector<std::uint32_t> made;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::uint32_t b = take_free_block();
        if (b == 0)
            break;
        made.push_back(b);
    }
    Problem told = problem == Problem::Count ? Problem::DircacheKey : problem;
    if (made.size() < blocks.size()) {
        for (std::uint32_t b : made)
            state.claimed[b] = 0;
        if (problem != Problem::Count)
            act(RepairClass::ReportOnly, told, dir.cache.empty() ? dir.block : dir.cache[0], dir.path,
                text("cache of directory %u not rebuilt: no free block for it", dir.block));
        return;
    }
    if (problem != Problem::Count &&
        !act(RepairClass::Safe, told, dir.cache.empty() ? dir.block : dir.cache[0], dir.path,
             text("cache of directory %u rebuilt in %u new blocks", dir.block, std::uint32_t(made.size())))) {
        for (std::uint32_t b : made)
            state.claimed[b] = 0;
        return;
    }
    for (std::uint32_t b : dir.cache)
        state.claimed[b] = 0;
    for (std::size_t i = 0; i < made.size(); ++i) {
        Block c(volume.block_size, 0);
        put_long(c.data(), field::type, dircache_type);
        put_long(c.data(), field::dircache_own, made[i]);
        put_long(c.data(), field::dircache_parent, dir.block);
        put_long(c.data(), field::dircache_records, counts[i]);
        put_long(c.data(), field::dircache_next, i + 1 < made.size() ? made[i + 1] : 0);
        if (!blocks[i].empty())
            std::memcpy(c.data() + field::dircache_first_record, blocks[i].data(), blocks[i].size());
        store(made[i], c);
    }
    put_tail(d.data(), field::extension, made[0]);
    store(dir.block, d);
}

// The chains of one directory: loops cut, rejected headers unlinked, bad
// checksums resealed.  The entries that stay, with their slots.
std::vector<Place> settle_chains(const Job &dir)
{
    std::vector<Place> entries;
    std::uint32_t slots = hash_slots();
    Block table, h;
    for (std::uint32_t s = 0; s < slots; ++s) {
        load(dir.block, table);
        std::uint32_t previous = 0;
        std::uint32_t a = table_entry(table.data(), s);
        while (a != 0) {
            if (flag(state.seen, a)) {
                if (act(RepairClass::Safe, Problem::EntryLoop, a, dir.path,
                        text("hash chain of slot %u cut where it comes back to block %u", s, a)))
                    set_link(dir.block, s, previous, 0);
                break;
            }
            Problem rejected = Problem::Count;
            bool read = usable(a) && load(a, h);
            // a read that failed is the device's: the run writes nothing
            if (usable(a) && !read)
                break;
            std::uint32_t sum = 0, type = 0;
            std::int32_t secondary = 0;
            if (!read) {
                rejected = Problem::HeaderUnreadable;
            } else {
                sum = block_checksum(h.data());
                type = get_long(h.data(), field::type);
                secondary = std::int32_t(get_tail(h.data(), field::secondary_type));
                if (type != header_type)
                    rejected = sum != 0 ? Problem::HeaderChecksum : Problem::HeaderType;
                else if (secondary == Root)
                    rejected = sum != 0 ? Problem::HeaderChecksum : Problem::HeaderRootType;
                else if (!known_secondary(secondary))
                    rejected = sum != 0 ? Problem::HeaderChecksum : Problem::HeaderSecondaryType;
                else if (sum != 0 && (get_long(h.data(), field::header_key) != a ||
                                      get_tail(h.data(), field::parent) != dir.block || name_slot(h) != s))
                    rejected = Problem::HeaderChecksum;
            }
            if (rejected != Problem::Count) {
                // the chain goes on behind it only at a sound header of this directory
                std::uint32_t next = read ? get_tail(h.data(), field::next_hash) : 0;
                if (!valid_header_of(next, dir.block))
                    next = 0;
                std::string what = next != 0 ? text("header %u unlinked from slot %u; the chain goes on at %u", a, s, next)
                                             : text("header %u unlinked from slot %u; the chain ends there", a, s);
                if (!act(RepairClass::NeedsYes, rejected, a, dir.path, what))
                    break;
                set_link(dir.block, s, previous, next);
                a = next;
                continue;
            }
            std::string path = child_path(dir.path, h);
            if (sum != 0 && act(RepairClass::Safe, Problem::HeaderChecksum, a, path,
                                text("checksum of header %u resealed", a)))
                store(a, h);
            state.seen[a] = state.claimed[a] = 1;
            entries.push_back({a, s});
            previous = a;
            a = get_tail(h.data(), field::next_hash);
        }
    }
    return entries;
}

// Takes `a` out of the chain of slot `slot`; false when it is not there.
bool unlink_from_slot(std::uint32_t directory, std::uint32_t slot, std::uint32_t a)
{
    Block b;
    load(directory, b);
    std::uint32_t previous = 0;
    std::uint32_t at = table_entry(b.data(), slot);
    for (std::uint64_t steps = 0; at != 0 && steps <= volume.total_blocks; ++steps) {
        Block h;
        if (!load(at, h))
            return false;
        if (at == a) {
            set_link(directory, slot, previous, get_tail(h.data(), field::next_hash));
            return true;
        }
        previous = at;
        at = get_tail(h.data(), field::next_hash);
    }
    return false;
}

// The number of data blocks' bytes that `blocks` data blocks hold, at most `size`.
std::uint32_t bytes_held(std::uint32_t blocks, std::uint32_t size)
{
    std::uint64_t held = std::uint64_t(blocks) * volume.data_bytes_per_block;
    return held < size ? std::uint32_t(held) : size;
}

// A block free for a copy: free in the rebuilt map and in the volume's own,
// and not taken by the repair; 0 when there is none.
std::uint32_t take_free_block()
{
    // a bitmap block that was not read (or was read from a block named
    // twice) cannot tell which of its blocks are free
    if (state.trusted.empty())
        return 0;
    for (std::uint64_t n = 0; n < volume.total_blocks; ++n) {
        std::uint32_t b = state.next_free++;
        if (state.next_free >= volume.total_blocks)
            state.next_free = volume.reserved_blocks;
        if (!usable(b) || flag(state.claimed, b) || block_is_used(b) || block_used_on_disk(b) ||
            !state.trusted[(b - volume.reserved_blocks) / bitmap_bits_per_block()])
            continue;
        state.claimed[b] = 1;
        return b;
    }
    return 0;
}

// One file's block list: bad pointers truncate it, blocks claimed twice are
// copied, pointers past its size are dropped, counts are set, extension
// blocks are resealed or set right or cut.
void repair_file(const Job &file)
{
    std::uint32_t slots = hash_slots();
    Block header, ext, next;
    if (!load(file.block, header))
        return;
    bool header_changed = false;
    std::uint32_t size = get_tail(header.data(), field::byte_size);
    std::uint32_t remaining = data_block_count(size);
    std::uint32_t kept = 0;  // data blocks kept before the current table
    Block *table = &header;
    std::uint32_t current = file.block;
    bool table_changed = false;
    // the file ends after `blocks` data blocks: the current table keeps
    // `in_table` of them, its extension pointer goes
    std::uint32_t previous = 0;  // the table block before the current one (0: none)
    auto truncate = [&](std::uint32_t in_table) {
        if (in_table == 0 && previous != 0) {
            // an extension block left with no pointer goes too
            if (previous == file.block) {
                put_tail(header.data(), field::extension, 0);
            } else {
                Block before;
                load(previous, before);
                put_tail(before.data(), field::extension, 0);
                store(previous, before);
            }
            table_changed = false;
            table = &header;
            put_tail(header.data(), field::byte_size, bytes_held(kept, size));
            header_changed = true;
            return;
        }
        for (std::uint32_t j = 0; j + in_table < slots; ++j)
            put_long(table->data(), field::hash_table + 4 * j, 0);
        put_long(table->data(), field::high_seq, in_table);
        put_tail(table->data(), field::extension, 0);
        table_changed = true;
        std::uint32_t held = bytes_held(kept + in_table, size);
        put_tail(header.data(), field::byte_size, held);
        header_changed = true;
    };
    auto cut_text = [&](const char *what, std::uint32_t block, std::uint32_t in_table) {
        std::uint32_t held = bytes_held(kept + in_table, size);
        return text(what, block, size - held, held);
    };
    for (;;) {
        std::uint32_t take = remaining < slots ? remaining : slots;
        bool ended = false;
        for (std::uint32_t i = 0; i < take; ++i) {
            std::uint32_t slot = slots - 1 - i;
            std::uint32_t p = table_entry(table->data(), slot);
            if (usable(p) && !flag(state.claimed, p)) {
                state.claimed[p] = 1;
                continue;
            }
            if (usable(p)) {
                // claimed before: the later claimant gets a copy
                std::uint32_t copy = take_free_block();
                Block bytes(volume.block_size);
                if (copy != 0 && read_block(bytes.data(), p) == 0) {
                    if (act(RepairClass::NeedsYes, Problem::BlockInUse, p, file.path,
                            text("data block %u, claimed twice, copied to block %u for this file", p, copy))) {
                        // a copy keeps the block's bytes as they are
                        state.image_at[copy] = state.images.size();
                        state.images.push_back({copy, bytes});
                        put_long(table->data(), field::hash_table + 4 * slot, copy);
                        table_changed = true;
                        continue;
                    }
                    state.claimed[copy] = 0;
                    ended = true;
                    break;
                }
                if (copy != 0)
                    state.claimed[copy] = 0;
            }
            Problem problem = !in_volume(p) ? (p < volume.reserved_blocks ? Problem::BlockReserved
                                                                          : Problem::BlockOutOfRange)
                                            : Problem::BlockInUse;
            if (act(RepairClass::NeedsYes, problem, p, file.path,
                    cut_text("file truncated before block %u: %u bytes cut, %u kept", p, i)))
                truncate(i);
            ended = true;
            break;
        }
        if (ended)
            break;
        kept += take;
        remaining -= take;
        for (std::uint32_t j = 0; j + take < slots; ++j) {
            std::uint32_t p = table_entry(table->data(), j);
            if (p != 0 && act(RepairClass::NeedsYes, Problem::FileBlockPastSize, p, file.path,
                              text("pointer to block %u past the file's size dropped", p))) {
                put_long(table->data(), field::hash_table + 4 * j, 0);
                table_changed = true;
            }
        }
        std::uint32_t count = get_long(table->data(), field::high_seq);
        if (count != take && act(RepairClass::Safe, Problem::FileBlockCount, current,
                                 file.path, text("block count of block %u set to %u (was %u)", current, take, count))) {
            put_long(table->data(), field::high_seq, take);
            table_changed = true;
        }
        std::uint32_t e = get_tail(table->data(), field::extension);
        if (e == 0)
            break;
        if (remaining == 0) {
            if (act(RepairClass::NeedsYes, Problem::ExtensionPastSize, e, file.path,
                    text("extension block %u past the file's size dropped with the chain behind it", e))) {
                put_tail(table->data(), field::extension, 0);
                table_changed = true;
            }
            break;
        }
        // the next extension block, when it can be trusted
        Problem rejected = Problem::Count;
        std::uint32_t sum = 0;
        if (flag(state.seen, e))
            rejected = Problem::ExtensionLoop;
        else if (!usable(e))
            rejected = in_volume(e) ? Problem::BlockInUse
                                    : e < volume.reserved_blocks ? Problem::BlockReserved : Problem::BlockOutOfRange;
        else if (flag(state.claimed, e))
            rejected = Problem::BlockInUse;
        else if (!load(e, next))
            break;  // the device's failure: the run writes nothing
        else {
            sum = block_checksum(next.data());
            std::uint32_t type = get_long(next.data(), field::type);
            if (type != extension_type)
                rejected = sum != 0 ? Problem::ExtensionChecksum : Problem::ExtensionType;
            else if (sum != 0 && (get_long(next.data(), field::header_key) != e ||
                                  get_tail(next.data(), field::parent) != file.block ||
                                  std::int32_t(get_tail(next.data(), field::secondary_type)) != File))
                rejected = Problem::ExtensionChecksum;
        }
        if (rejected != Problem::Count) {
            if (act(RepairClass::NeedsYes, rejected, e, file.path,
                    cut_text("file truncated before its extension block %u: %u bytes cut, %u kept", e, 0))) {
                put_tail(table->data(), field::extension, 0);
                table_changed = true;
                put_tail(header.data(), field::byte_size, bytes_held(kept, size));
                header_changed = true;
            }
            break;
        }
        // the table left behind goes to its image (the header's once the
        // file is done, for a byte size that a truncation may still change)
        if (table != &header && table_changed)
            store(current, *table);
        if (table == &header && table_changed)
            header_changed = true;
        table_changed = false;
        bool changed = false;
        if (sum != 0 && act(RepairClass::Safe, Problem::ExtensionChecksum, e, file.path,
                            text("checksum of extension block %u resealed", e)))
            changed = true;
        if (std::uint32_t key = get_long(next.data(), field::header_key);
            key != e && act(RepairClass::Safe, Problem::ExtensionKey, e, file.path,
                            text("header key of extension block %u set to %u (was %u)", e, e, key))) {
            put_long(next.data(), field::header_key, e);
            changed = true;
        }
        if (std::uint32_t parent = get_tail(next.data(), field::parent);
            parent != file.block && act(RepairClass::Safe, Problem::ExtensionParent, e, file.path,
                                        text("parent of extension block %u set to %u (was %u)", e, file.block,
                                             parent))) {
            put_tail(next.data(), field::parent, file.block);
            changed = true;
        }
        if (std::uint32_t secondary = get_tail(next.data(), field::secondary_type);
            std::int32_t(secondary) != File &&
            act(RepairClass::Safe, Problem::ExtensionSecondaryType, e, file.path,
                text("secondary type of extension block %u set to a file's", e))) {
            put_tail(next.data(), field::secondary_type, std::uint32_t(File));
            changed = true;
        }
        state.seen[e] = state.claimed[e] = 1;
        ext.swap(next);
        table = &ext;
        previous = current;
        current = e;
        table_changed = changed;
    }
    if (table_changed && table != &header)
        store(current, *table);
    if (header_changed || (table_changed && table == &header))
        store(file.block, header);
}

// The data blocks of a file's list as the repair left it, in file order.
std::vector<std::uint32_t> data_list(const Block &header)
{
    std::vector<std::uint32_t> list;
    std::uint32_t slots = hash_slots();
    std::uint32_t remaining = data_block_count(get_tail(header.data(), field::byte_size));
    Block table = header;
    for (std::uint64_t steps = 0; remaining != 0 && steps <= volume.total_blocks; ++steps) {
        std::uint32_t take = remaining < slots ? remaining : slots;
        for (std::uint32_t i = 0; i < take; ++i)
            list.push_back(table_entry(table.data(), slots - 1 - i));
        remaining -= take;
        std::uint32_t e = get_tail(table.data(), field::extension);
        if (remaining == 0 || e == 0 || !usable(e) || !load(e, table))
            break;
    }
    return list;
}

// An OFS file's data block headers, rewritten from its list where they
// disagree with it: type, header key, place in the list, bytes held and
// next block.  The header's first data pointer follows a list the repair
// cut.
void repair_ofs_data(const Job &file)
{
    Block header, d;
    if (!(volume.variant & OldFormat) || !load(file.block, header))
        return;
    std::vector<std::uint32_t> list = data_list(header);
    std::uint64_t remaining = get_tail(header.data(), field::byte_size);
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::uint32_t b = list[i];
        std::uint32_t expected = std::uint32_t(std::min<std::uint64_t>(volume.data_bytes_per_block, remaining));
        remaining -= expected;
        if (!usable(b) || !load(b, d))
            continue;
        std::uint32_t next = i + 1 < list.size() ? list[i + 1] : 0;
        std::uint32_t type = get_long(d.data(), field::type);
        Problem problem = Problem::Count;
        if (type != data_type)
            problem = Problem::DataType;
        else if (block_checksum(d.data()) != 0)
            problem = Problem::DataChecksum;
        else if (get_long(d.data(), field::header_key) != file.block)
            problem = Problem::DataKey;
        else if (get_long(d.data(), field::data_sequence) != i + 1)
            problem = Problem::DataSequence;
        else if (get_long(d.data(), field::data_size) != expected)
            problem = Problem::DataSize;
        else if (get_long(d.data(), field::data_next) != next)
            problem = Problem::DataNext;
        if (problem == Problem::Count)
            continue;
        RepairClass kind = problem == Problem::DataType ? RepairClass::NeedsYes : RepairClass::Safe;
        if (!act(kind, problem, b, file.path,
                 text("header of data block %u rewritten from the file's list: sequence %u, next %u", b,
                      std::uint32_t(i + 1), next)))
            continue;
        put_long(d.data(), field::type, data_type);
        put_long(d.data(), field::header_key, file.block);
        put_long(d.data(), field::data_sequence, std::uint32_t(i + 1));
        put_long(d.data(), field::data_size, expected);
        put_long(d.data(), field::data_next, next);
        store(b, d);
    }
    std::uint32_t first = list.empty() ? 0 : list[0];
    if (get_long(header.data(), field::first_data) != first && state.image_at.count(file.block) != 0) {
        put_long(header.data(), field::first_data, first);
        store(file.block, header);
    }
}

}  // namespace

const RepairRule &repair_rule(Problem problem) { return rules[std::size_t(problem)]; }

int link_into_chain(std::uint32_t directory, std::uint32_t header)
{
    Block h, b;
    if (!load(header, h))
        return 1;
    std::uint32_t slot = name_slot(h);
    if (slot >= hash_slots() || !load(directory, b))
        return 1;
    // the chains run in ascending order of block numbers
    std::uint32_t previous = 0;
    std::uint32_t at = table_entry(b.data(), slot);
    for (std::uint64_t steps = 0; at != 0 && at < header && steps <= volume.total_blocks; ++steps) {
        Block next;
        if (!load(at, next))
            return 1;
        previous = at;
        at = get_tail(next.data(), field::next_hash);
    }
    load(header, h);
    put_tail(h.data(), field::next_hash, at);
    store(header, h);
    set_link(directory, slot, previous, header);
    return 0;
}

namespace {

// The whole of a repair's walk: the directories met so far (the root
// first) and the files, in the order met.
struct TreeWalk {
    std::vector<DirJob> directories;
    std::vector<Job> files;
    std::size_t done = 0;  // directories whose chains are settled
    std::unordered_map<std::uint32_t, std::size_t> index;  // a directory's place in the list

    void add(DirJob dir)
    {
        index.emplace(dir.block, directories.size());
        directories.push_back(std::move(dir));
    }
};

// Settles the chains of every directory not yet done, and of the
// directories found in them.
void walk_directories(TreeWalk &walk)
{
    for (; walk.done < walk.directories.size(); ++walk.done) {
        Job dir{walk.directories[walk.done].block, walk.directories[walk.done].path};
        std::vector<Place> entries = settle_chains(dir);
        Block h;
        // entries whose name hashes to another slot move there
        for (const Place &e : entries) {
            if (!load(e.block, h))
                continue;
            std::uint32_t slot = name_slot(h);
            if (slot >= hash_slots() || slot == e.slot)
                continue;
            if (act(RepairClass::Safe, Problem::EntryHashSlot, e.block, child_path(dir.path, h),
                    text("header %u moved from hash slot %u to slot %u", e.block, e.slot, slot)) &&
                unlink_from_slot(dir.block, e.slot, e.block))
                link_into_chain(dir.block, e.block);
        }
        for (const Place &e : entries) {
            if (!load(e.block, h))
                continue;
            std::string path = child_path(dir.path, h);
            std::int32_t secondary = std::int32_t(get_tail(h.data(), field::secondary_type));
            bool changed = false;
            std::uint32_t key = get_long(h.data(), field::header_key);
            if ((secondary == Dir || secondary == File) && key != e.block &&
                act(RepairClass::Safe, Problem::HeaderKey, e.block, path,
                    text("header key of block %u set to %u (was %u)", e.block, e.block, key))) {
                put_long(h.data(), field::header_key, e.block);
                changed = true;
            }
            std::uint32_t parent = get_tail(h.data(), field::parent);
            if (parent != dir.block && act(RepairClass::Safe, Problem::EntryParent, e.block, path,
                                           text("parent of block %u set to %u (was %u)", e.block, dir.block, parent))) {
                put_tail(h.data(), field::parent, dir.block);
                changed = true;
            }
            if (changed)
                store(e.block, h);
            if (secondary == Dir) {
                DirJob sub{e.block, path, {}, Problem::Count};
                if (volume.variant & DirCache)
                    take_cache_chain(sub, get_tail(h.data(), field::extension));
                walk.add(std::move(sub));
            } else if (secondary == File) {
                walk.files.push_back({e.block, path});
            }
        }
    }
}

// A name's letters for comparison: lower-case ones count as upper case, and
// on international and dircache volumes so do the Latin-1 ones.
std::uint8_t fold(std::uint8_t c)
{
    if (c >= 'a' && c <= 'z')
        return std::uint8_t(c - 32);
    if ((volume.variant & (International | DirCache)) && c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return std::uint8_t(c - 32);
    return c;
}

bool same_name(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(std::uint8_t(a[i])) != fold(std::uint8_t(b[i])))
            return false;
    return true;
}

std::string name_of(const Block &h)
{
    std::uint32_t length = std::min<std::uint32_t>(h[tail(field::name_length)], name_room);
    return std::string(reinterpret_cast<const char *>(h.data() + tail(field::name)), length);
}

// the entry of `directory` named `name`, or 0: a name that matches hashes
// alike, so only its slot's chain is searched
std::uint32_t entry_named(std::uint32_t directory, const std::string &name)
{
    if (name.empty() || name.size() > name_room)
        return 0;
    std::uint32_t slot = name_hash_slot(reinterpret_cast<const std::uint8_t *>(name.data()), std::uint32_t(name.size()));
    Block table, h;
    if (!load(directory, table))
        return 0;
    std::uint32_t a = table_entry(table.data(), slot);
    for (std::uint64_t steps = 0; a != 0 && steps <= volume.total_blocks && load(a, h); ++steps) {
        if (same_name(name_of(h), name))
            return a;
        a = get_tail(h.data(), field::next_hash);
    }
    return 0;
}

const DirJob *reached_directory(const TreeWalk &walk, std::uint32_t block)
{
    auto at = walk.index.find(block);
    return at == walk.index.end() ? nullptr : &walk.directories[at->second];
}

// The directory lost+found at the root: the one there, or a new one; 0
// when neither can be had.
std::uint32_t lost_and_found(TreeWalk &walk)
{
    const std::string name = "lost+found";
    std::uint32_t there = entry_named(volume.root_block, name);
    Block h;
    if (there != 0)
        return load(there, h) && std::int32_t(get_tail(h.data(), field::secondary_type)) == Dir &&
                       reached_directory(walk, there)
                   ? there
                   : 0;
    std::uint32_t b = take_free_block();
    if (b == 0)
        return 0;
    h.assign(volume.block_size, 0);
    put_long(h.data(), field::type, header_type);
    put_long(h.data(), field::header_key, b);
    put_tail(h.data(), field::secondary_type, std::uint32_t(Dir));
    put_tail(h.data(), field::parent, volume.root_block);
    put_date(h.data(), field::date, amiga_date_from_unix(std::int64_t(std::time(nullptr))));
    h[tail(field::name_length)] = std::uint8_t(name.size());
    std::memcpy(h.data() + tail(field::name), name.data(), name.size());
    store(b, h);
    state.seen[b] = 1;
    link_into_chain(volume.root_block, b);
    walk.add({b, name, {}, Problem::Count});
    walk_directories(walk);
    return b;
}

// A header linked back into a directory becomes one of its entries: it is
// taken, and walked as any entry is.
void take_relinked(TreeWalk &walk, std::uint32_t block, const std::string &path)
{
    Block h;
    if (!load(block, h))
        return;
    state.seen[block] = state.claimed[block] = 1;
    std::int32_t secondary = std::int32_t(get_tail(h.data(), field::secondary_type));
    if (secondary == Dir) {
        DirJob sub{block, path, {}, Problem::Count};
        if (volume.variant & DirCache)
            take_cache_chain(sub, get_tail(h.data(), field::extension));
        walk.add(std::move(sub));
    } else {
        walk.files.push_back({block, path});
    }
    walk_directories(walk);
}

// Headers that the walk did not reach, that the volume's bitmap marks in
// use and that no reached entry's blocks hold, come back: into their own
// parent when it is reached and their name is free there (a safe repair),
// else into lost+found under the name BLOCK.NAME.  Headers the bitmap
// marks free are deleted files and stay where they are; with a damaged
// bitmap only the first kind come back.
void relink_lost(TreeWalk &walk)
{
    std::vector<LostHeader> pending;
    for (LostHeader &lost : find_lost_headers(true))
        if (!flag(state.seen, lost.block) && !flag(state.claimed, lost.block))
            pending.push_back(std::move(lost));
    bool bitmap_sound = tallies().of(Effect::BitmapError) == 0;
    std::vector<std::uint8_t> settled(pending.size(), 0);  // relinked, walked or given up
    std::uint32_t found_dir = 0;
    Block h;
    for (;;) {
        // first every header whose parent is reached, over and over, as
        // each one relinked may be the parent of others
        bool moved = false;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            LostHeader &lost = pending[i];
            if (settled[i] || flag(state.seen, lost.block)) {
                settled[i] = 1;
                continue;
            }
            const DirJob *parent = reached_directory(walk, lost.parent);
            if (!parent || entry_named(lost.parent, lost.name) != 0)
                continue;
            settled[i] = 1;
            std::string path = parent->path.empty() ? lost.name : parent->path + "/" + lost.name;
            if (!act(RepairClass::Safe, Problem::BitmapFreeUsed, lost.block, path,
                     text("header %u, reached from no directory, linked back into its parent %u", lost.block,
                          lost.parent)))
                continue;
            if (link_into_chain(lost.parent, lost.block) != 0)
                continue;
            moved = true;
            take_relinked(walk, lost.block, path);
        }
        if (moved)
            continue;
        // then one header whose parent is none of the others (the top of a
        // lost subtree; failing that, any) goes to lost+found
        std::size_t pick = pending.size();
        for (int pass = 0; pass < 2 && pick == pending.size(); ++pass)
            for (std::size_t i = 0; i < pending.size() && pick == pending.size(); ++i) {
                if (settled[i] || flag(state.seen, pending[i].block))
                    continue;
                bool top = true;
                for (std::size_t j = 0; j < pending.size() && pass == 0; ++j)
                    if (!settled[j] && pending[j].block == pending[i].parent)
                        top = false;
                if (top)
                    pick = i;
            }
        if (pick == pending.size())
            break;
        settled[pick] = 1;
        const LostHeader &lost = pending[pick];
        std::string name = std::to_string(lost.block) + "." + lost.name;
        if (name.size() > name_room)
            name.resize(name_room);
        std::string path = "lost+found/" + name;
        if (!bitmap_sound) {
            act(RepairClass::ReportOnly, Problem::BitmapFreeUsed, lost.block, path,
                text("header %u, reached from no directory, not relinked: the bitmap is damaged", lost.block));
            continue;
        }
        if (!act(RepairClass::NeedsYes, Problem::BitmapFreeUsed, lost.block, path,
                 text("header %u, reached from no directory, moved into lost+found", lost.block)))
            continue;
        if (found_dir == 0)
            found_dir = lost_and_found(walk);
        if (found_dir == 0 || entry_named(found_dir, name) != 0 || !load(lost.block, h)) {
            act(RepairClass::ReportOnly, Problem::BitmapFreeUsed, lost.block, path,
                text("header %u not relinked: lost+found cannot take it", lost.block));
            continue;
        }
        std::memset(h.data() + tail(field::name), 0, name_room);
        h[tail(field::name_length)] = std::uint8_t(name.size());
        std::memcpy(h.data() + tail(field::name), name.data(), name.size());
        put_tail(h.data(), field::parent, found_dir);
        store(lost.block, h);
        if (link_into_chain(found_dir, lost.block) == 0)
            take_relinked(walk, lost.block, path);
    }
}

// The places in the bitmap chain whose pointers cannot name a bitmap block:
// out of the volume, among the reserved blocks, the root, or a block that
// the chain names before.  None when the chain itself cannot be read whole.
std::vector<std::uint32_t> unsound_bitmap_pointers()
{
    std::vector<std::uint32_t> places;
    const Tallies &t = tallies();
    if (t.of(Problem::BitmapExtUnreadable) + t.of(Problem::BitmapExtLoop) + t.of(Problem::BitmapMissing) != 0)
        return places;
    const BitmapChain &chain = bitmap_chain();
    std::unordered_map<std::uint32_t, int> named;
    for (std::uint32_t b : chain.extensions)
        named[b] += 1;
    for (std::uint32_t i = 0; i < chain.pointers.size(); ++i) {
        std::uint32_t p = chain.pointers[i];
        if (!in_volume(p) || p == volume.root_block || named[p]++ != 0)
            places.push_back(i);
    }
    return places;
}

// Each unsound pointer of the chain gets a newly allocated block, written
// into the root or the extension block that names it; the bitmap that the
// run writes then goes there.
void replace_bitmap_pointers(const std::vector<std::uint32_t> &places)
{
    const BitmapChain &chain = bitmap_chain();
    for (std::uint32_t i : places) {
        std::uint32_t old = chain.pointers[i];
        ChainPlace place = chain_place(i);
        std::uint32_t named_in = place.in_root ? volume.root_block : chain.extensions[place.ext];
        std::uint32_t fresh = take_free_block();
        if (fresh == 0) {
            act(RepairClass::ReportOnly, Problem::BitmapPointerInUse, old, std::string(),
                text("bitmap pointer %u of block %u not replaced: no free block", i, named_in));
            continue;
        }
        if (!act(RepairClass::Safe, Problem::BitmapPointerInUse, old, std::string(),
                 text("bitmap block %u, which cannot be one, replaced by block %u in block %u", old, fresh, named_in))) {
            state.claimed[fresh] = 0;
            continue;
        }
        Block b;
        if (!load(named_in, b))
            continue;
        if (place.in_root) {
            put_tail(b.data(), bitmap_page(i), fresh);
            store(named_in, b);
        } else {
            put_long(b.data(), 4 * place.slot, fresh);
            store_raw(named_in, b);
        }
    }
}

}  // namespace

void repair_tree(bool safe_only, bool dry_run)
{
    end_repair();
    state.safe_only = safe_only;
    state.dry_run = dry_run;
    state.root.assign(volume.root_buffer, volume.root_buffer + volume.block_size);
    state.seen.assign(volume.total_blocks, 0);
    state.claimed.assign(volume.total_blocks, 0);
    state.changed.assign(volume.total_blocks, 0);
    state.next_free = volume.root_block;
    state.claimed[volume.root_block] = state.seen[volume.root_block] = 1;
    const BitmapChain &chain = bitmap_chain();
    state.chain_blocks = chain.pointers;
    state.chain_blocks.insert(state.chain_blocks.end(), chain.extensions.begin(), chain.extensions.end());
    std::sort(state.chain_blocks.begin(), state.chain_blocks.end());
    std::vector<std::uint32_t> unsound = unsound_bitmap_pointers();
    const Tallies &t = tallies();
    if (t.of(Problem::BitmapExtUnreadable) + t.of(Problem::BitmapExtLoop) + t.of(Problem::BitmapMissing) == 0) {
        std::uint32_t parts = std::uint32_t(chain.pointers.size());
        state.trusted.assign(parts, 1);
        for (std::uint32_t i = 0; i < parts; ++i)
            if (!bitmap_block_taken(i))
                state.trusted[i] = 0;
        for (std::uint32_t i : unsound)
            state.trusted[i] = 0;
    }
    for (std::uint32_t b : state.chain_blocks)
        if (b < volume.total_blocks)
            state.claimed[b] = 1;
    // the root and the reserved blocks stay claimed; a block named twice
    // keeps its first claim
    read_overlay = overlay_read;

    TreeWalk walk;
    walk.add({volume.root_block, std::string(), {}, Problem::Count});
    if (volume.variant & DirCache)
        take_cache_chain(walk.directories[0], get_tail(volume.root_buffer, field::extension));
    walk_directories(walk);
    relink_lost(walk);
    if (volume.variant & DirCache)
        for (const DirJob &dir : walk.directories)
            if (dir.cache_damage != Problem::Count || state.changed[dir.block])
                rebuild_cache(dir, dir.cache_damage);
    for (const Job &file : walk.files)
        repair_file(file);
    for (const Job &file : walk.files)
        repair_ofs_data(file);
    replace_bitmap_pointers(unsound);
}

bool lost_headers_present() { return !find_lost_headers(true).empty(); }

bool bitmap_pointers_unsound() { return !unsound_bitmap_pointers().empty(); }

std::uint64_t repairs_applied() { return state.applied; }
std::uint64_t repairs_left() { return state.left; }
std::size_t repaired_image_count() { return state.images.size(); }

const std::uint8_t *repaired_image(std::size_t index, std::uint32_t &block)
{
    block = state.images[index].block;
    return state.images[index].bytes.data();
}

const std::uint8_t *repaired_root() { return state.root.empty() ? volume.root_buffer : state.root.data(); }

void end_repair()
{
    read_overlay = nullptr;
    state = {};
}

WritePlan repair_write_plan(bool bitmap)
{
    WritePlan plan;
    std::uint32_t root = volume.root_block;
    plan.add(root, PlanContent::RootInvalid);
    plan.flush();
    for (std::size_t i = 0; i < state.images.size(); ++i)
        plan.add(state.images[i].block, PlanContent::Image, std::uint32_t(i));
    plan.flush();
    if (bitmap) {
        const BitmapChain &chain = bitmap_chain();
        for (std::uint32_t i = 0; i < chain.pointers.size(); ++i)
            plan.add(chain.pointers[i], PlanContent::Bitmap, i);
        plan.flush();
    }
    plan.add(root, PlanContent::RepairedRoot, bitmap ? 1 : 0);
    plan.flush();
    return plan;
}
