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
// Files' block lists come last, once every header of the tree is known, so
// that a data pointer onto a header is seen as the block claimed twice that
// it is.
#include "internal.h"

#include <cstdio>
#include <cstring>
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
    {C::ReportOnly, "not built: the directory's cache is not rebuilt yet"},   // dircache-checksum
    {C::ReportOnly, "not built: the directory's cache is not rebuilt yet"},   // dircache-unreadable
    {C::ReportOnly, "not built: the directory's cache is not rebuilt yet"},   // dircache-key
    {C::ReportOnly, "not built: the directory's cache is not rebuilt yet"},   // dircache-loop
    {C::NeedsYes, "the file truncated before the block"},                     // block-reserved
    {C::NeedsYes, "the file truncated before the block"},                     // block-out-of-range
    {C::NeedsYes, "the later claimant gets a copy in a new block; truncated when none is free"},  // block-in-use
    {C::Safe, "rewritten from the tree with the bitmap"},                     // bitmap-checksum
    {C::Safe, "rewritten from the tree with the bitmap"},                     // bitmap-unreadable
    {C::ReportOnly, "not built: the pointer is not replaced by a new block yet"},  // bitmap-pointer-in-use
    {C::ReportOnly, "not built: the extension chain is not remade yet"},      // bitmap-ext-unreadable
    {C::ReportOnly, "not built: the missing bitmap blocks are not made yet"},  // bitmap-missing
    {C::ReportOnly, "not built: the extension chain is not remade yet"},      // bitmap-ext-loop
    {C::Safe, "the bitmap rebuilt from the tree"},                            // bitmap-used-free
    {C::Safe, "the bitmap rebuilt from the tree"},                            // bitmap-free-used
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

// the block's new contents, sealed
void store(std::uint32_t block, Block &bytes)
{
    seal_block(bytes.data(), field::checksum);
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

// Tells one repair; true when it is applied (in memory): everything but a
// repair that needs -y in a run of the safe ones only.
bool act(RepairClass kind, Problem problem, std::uint32_t block, const std::string &path, const std::string &what)
{
    bool apply = !(state.safe_only && kind == RepairClass::NeedsYes);
    RepairState how = state.dry_run ? RepairState::WouldDo : apply ? RepairState::Done : RepairState::Left;
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
    const BitmapChain &chain = bitmap_chain();
    for (std::uint32_t b : chain.pointers)
        if (b == block)
            return false;
    for (std::uint32_t b : chain.extensions)
        if (b == block)
            return false;
    return true;
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

// Claims the blocks of a directory's cache chain that can be trusted; the
// chain's own damage is only reported (its rebuild is not made yet).
void claim_cache_chain(std::uint32_t first)
{
    Block b;
    for (std::uint32_t c = first; c != 0; c = get_long(b.data(), field::dircache_next)) {
        if (!usable(c) || flag(state.seen, c) || !load(c, b) || block_checksum(b.data()) != 0)
            return;
        state.seen[c] = state.claimed[c] = 1;
    }
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
    // a bitmap that cannot be read whole cannot tell a free block
    if (tallies().of(Effect::BitmapError) != 0)
        return 0;
    for (std::uint64_t n = 0; n < volume.total_blocks; ++n) {
        std::uint32_t b = state.next_free++;
        if (state.next_free >= volume.total_blocks)
            state.next_free = volume.reserved_blocks;
        if (!usable(b) || flag(state.claimed, b) || block_is_used(b) || block_used_on_disk(b))
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

void repair_tree(bool safe_only, bool dry_run)
{
    end_repair();
    state.safe_only = safe_only;
    state.dry_run = dry_run;
    state.root.assign(volume.root_buffer, volume.root_buffer + volume.block_size);
    state.seen.assign(volume.total_blocks, 0);
    state.claimed.assign(volume.total_blocks, 0);
    state.next_free = volume.root_block;
    state.claimed[volume.root_block] = state.seen[volume.root_block] = 1;
    for (std::uint32_t b : bitmap_chain().pointers)
        if (b < volume.total_blocks)
            state.claimed[b] = 1;
    for (std::uint32_t b : bitmap_chain().extensions)
        if (b < volume.total_blocks)
            state.claimed[b] = 1;
    read_overlay = overlay_read;

    std::vector<Job> directories = {{volume.root_block, std::string()}};
    std::vector<Job> files;
    if (volume.variant & DirCache)
        claim_cache_chain(get_tail(volume.root_buffer, field::extension));
    for (std::size_t d = 0; d < directories.size(); ++d) {
        Job dir = directories[d];
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
                if (volume.variant & DirCache)
                    claim_cache_chain(get_tail(h.data(), field::extension));
                directories.push_back({e.block, path});
            } else if (secondary == File) {
                files.push_back({e.block, path});
            }
        }
    }
    for (const Job &file : files)
        repair_file(file);
}

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
