// The root block and the boot block: filling, writing, finding, and the DOS
// type in the first long of block 0.
#include "volume.h"

#include <cstring>
#include <ctime>

void init_root_block()
{
    std::uint8_t *root = volume.root_buffer;
    std::memset(root, 0, volume.block_size);
    put_long(root, field::type, header_type);
    put_long(root, field::hash_table_size, hash_slots());

    AmigaDate now = amiga_date_from_unix(std::int64_t(std::time(nullptr)));
    put_date(root, field::root_altered, now);
    put_date(root, field::volume_altered, now);
    put_date(root, field::volume_created, now);

    std::size_t length = std::strlen(volume.volume_name);
    if (length > name_room) {
        log_error("name exceeds max name length of 30 characters\n");
        length = name_room;
    }
    root[tail(field::name_length)] = std::uint8_t(length);
    std::memcpy(root + tail(field::name), volume.volume_name, length);
    put_tail(root, field::secondary_type, std::uint32_t(Root));
}

namespace {

void set_block_size(std::uint32_t size, std::uint32_t shift)
{
    volume.block_size = size;
    volume.block_shift = shift;
}

// the part of a root block that its first 512 bytes show
bool looks_like_root_header(const std::uint8_t *block)
{
    return get_long(block, field::type) == header_type && get_long(block, field::header_key) == 0 &&
           get_long(block, field::high_seq) == 0 && get_long(block, field::first_data) == 0;
}

enum Candidate { Found, NotRoot, Unreadable };

// Tests whether sector `sector` holds the root block; on success the block
// size, shift, root block and total blocks are set.
Candidate try_root_candidate(std::uint64_t sector, std::uint32_t forced, std::uint64_t device_sectors)
{
    set_block_size(512, 9);
    // the device in 512-byte sectors, less as many sectors as blocks are reserved
    BlockSpan sectors = {volume.partition_offset, 512, 9, volume.reserved_blocks, device_sectors};
    if (read_block_in(sectors, volume.root_buffer, sector) != 0)
        return Unreadable;
    if (!looks_like_root_header(volume.root_buffer))
        return NotRoot;
    std::uint64_t size = (std::uint64_t(get_long(volume.root_buffer, field::hash_table_size)) + header_longs) * 4;
    std::uint32_t shift = shift_of_block_size(std::int64_t(size));
    if (shift == 0 || (forced != 0 && size != forced))
        return NotRoot;
    std::uint64_t block = sector >> (shift - 9);
    if (block > UINT32_MAX)
        return NotRoot;  // no 32-bit block number reaches it
    set_block_size(std::uint32_t(size), shift);
    volume.root_block = std::uint32_t(block);
    sectors.block_size = std::uint32_t(size);
    sectors.block_shift = shift;
    if (shift != 9 && read_block_in(sectors, volume.root_buffer, block) != 0)
        return NotRoot;
    if (std::int32_t(get_tail(volume.root_buffer, field::secondary_type)) != Root ||
        block_checksum(volume.root_buffer) != 0)
        return NotRoot;
    reporter().note(Note::RootFound, {volume.root_block});
    // a volume holds at most 2^32 - 1 blocks; the rest of a larger device
    // is out of its reach
    std::uint64_t blocks = device_sectors >> (shift - 9);
    volume.total_blocks = blocks > UINT32_MAX ? UINT32_MAX : std::uint32_t(blocks);
    return Found;
}

}  // namespace

namespace {

// The search for one block size (`forced`, or any with 0) from sector
// `first` on (the given root block alone when `given`).
Candidate search_root(std::uint64_t device_sectors, std::uint32_t forced, bool given, std::uint64_t first)
{
    std::uint64_t count = given ? 1 : 8;
    for (std::uint64_t sector = first; sector < first + count; ++sector) {
        Candidate result = try_root_candidate(sector, forced, device_sectors);
        if (result != NotRoot)
            return result;
        // When the device ends in a partial block of 1024 bytes or more, the
        // middle in sectors lies past the middle in blocks, where the
        // formatter put the root block; that place is tried last.
        if (!given && sector + 1 == first + count) {
            for (std::uint32_t shift = 10; shift <= 12; ++shift) {
                if (forced != 0 && forced != (1u << shift))
                    continue;
                std::uint64_t blocks = device_sectors >> (shift - 9);
                std::uint64_t middle = ((blocks + volume.reserved_blocks - 1) / 2) << (shift - 9);
                if (blocks == 0 || (middle >= first && middle < first + count))
                    continue;
                result = try_root_candidate(middle, forced, device_sectors);
                if (result != NotRoot)
                    return result;
            }
        }
    }
    return NotRoot;
}

}  // namespace

int find_root_block(std::uint64_t device_sectors)
{
    // the candidates change the session's block size and root block
    std::uint32_t forced = volume.block_size, given_root = volume.root_block;
    std::uint32_t guess = volume.first_guess_block_size;
    bool given = given_root != 0;
    Candidate result = NotRoot;
    // A partition's own block size is tried first; a volume made with
    // another one is still found by the search for any size.  A root block
    // given then counts in blocks of the partition's size first.
    if (forced == 0 && guess != 0) {
        std::uint64_t first = given ? std::uint64_t(given_root) * (guess / 512) : device_sectors / 2;
        result = search_root(device_sectors, guess, given, first);
    }
    if (result == NotRoot) {
        volume.root_block = given_root;
        std::uint64_t first = given ? std::uint64_t(given_root) * (forced ? forced / 512 : 1) : device_sectors / 2;
        result = search_root(device_sectors, forced, given, first);
    }
    if (result == Found)
        return 0;
    raise(Problem::RootNotFound);
    return 1;
}

int detect_dos_type()
{
    if (read_block_in(whole_volume_span(), volume.bitmap_buffer, 0) != 0)
        return 1;
    std::uint32_t dos_type = get_long(volume.bitmap_buffer, 0);
    int flags = flags_from_dos_type(dos_type);
    if (flags < 0) {
        // another filesystem, or none: a run that stops here says why
        raise(Problem::UnknownDosType, 0, dos_type);
        return 1;
    }
    volume.variant |= std::uint8_t(flags);
    return 0;
}
