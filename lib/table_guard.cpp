// The guard of the partition table: on a disk with a Rigid Disk Block, no
// write of any run may land on the table's blocks.  A volume whose bitmap
// names the RDSK's sector (its unused longs are 0, so it passes as a bitmap
// block) would otherwise have its repair write the table away.
#include "volume.h"

#include <cinttypes>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t rdsk_id = 0x5244534B;  // "RDSK"
constexpr std::uint32_t part_id = 0x50415254;  // "PART"
constexpr std::uint32_t badb_id = 0x42414442;  // "BADB"
constexpr std::uint32_t fshd_id = 0x46534844;  // "FSHD"
constexpr std::uint32_t lseg_id = 0x4C534547;  // "LSEG"
constexpr std::uint32_t end_of_list = 0xFFFFFFFF;
constexpr std::uint32_t rdsk_search_sectors = 16;
// more links than any table has: a chain that loops ends here
constexpr std::uint32_t max_links = 4096;

struct Protected {
    std::uint64_t first, end;  // bytes of the device, end exclusive
    const char *what;
};

std::vector<Protected> table;

bool read_at(std::uint8_t *buffer, std::size_t count, std::uint64_t at, std::uint64_t device_bytes)
{
    return at + count <= device_bytes && pread(volume.fd, buffer, count, off_t(at)) == ssize_t(count);
}

bool sound(const std::uint8_t *block, std::uint32_t room)
{
    std::uint32_t summed = get_long(block, field::table_summed_longs);
    if (summed < 8 || summed > room)
        return false;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < summed; ++i)
        sum += get_long(block, 4 * i);
    return sum == 0;
}

// Follows a chain of table blocks of `id` from `first`, protecting each;
// for filesystem headers, also each one's LoadSeg chain.
void protect_chain(std::uint32_t first, std::uint32_t id, const char *what, std::uint32_t size,
                   std::uint64_t device_bytes, std::uint32_t &links)
{
    alignas(4) std::uint8_t block[max_block_size];
    for (std::uint32_t b = first; b != end_of_list && links < max_links; ++links) {
        std::uint64_t at = std::uint64_t(b) * size;
        if (!read_at(block, size, at, device_bytes) || get_long(block, field::table_id) != id)
            return;
        table.push_back({at, at + size, what});
        b = get_long(block, field::part_next);
        if (id == fshd_id) {
            std::uint32_t segments = get_long(block, field::fshd_seg_list);
            protect_chain(segments, lseg_id, "LoadSeg block", size, device_bytes, links);
        }
    }
}

const Protected *hit(std::uint32_t block)
{
    std::uint64_t first = volume.partition_offset + (std::uint64_t(block) << volume.block_shift);
    std::uint64_t end = first + volume.block_size;
    for (const Protected &p : table)
        if (p.first < end && first < p.end)
            return &p;
    return nullptr;
}

}  // namespace

void protect_partition_table(std::uint64_t device_bytes)
{
    table.clear();
    // the first 16 sectors in one read: every writing run makes it
    alignas(4) std::uint8_t first[rdsk_search_sectors * 512];
    std::uint64_t span = device_bytes < sizeof first ? device_bytes / 512 * 512 : sizeof first;
    if (span == 0 || !read_at(first, std::size_t(span), 0, device_bytes))
        return;
    const std::uint8_t *rdsk = nullptr;
    std::int64_t sector = -1;
    for (std::uint32_t s = 0; s < span / 512 && sector < 0; ++s)
        if (get_long(first + 512 * s, field::table_id) == rdsk_id && sound(first + 512 * s, 512 / 4))
            sector = s, rdsk = first + 512 * s;
    if (sector < 0)
        return;
    table.push_back({std::uint64_t(sector) * 512, std::uint64_t(sector) * 512 + 512, "RDSK block"});
    std::uint32_t size = get_long(rdsk, field::rdsk_block_bytes);
    if (shift_of_block_size(size) == 0)
        size = 512;
    std::uint64_t lo = get_long(rdsk, field::rdsk_blocks_lo), hi = get_long(rdsk, field::rdsk_blocks_hi);
    if (lo <= hi && lo * size < device_bytes)
        table.push_back({lo * size, (hi + 1) * size < device_bytes ? (hi + 1) * size : device_bytes,
                         "blocks from RDBBlocksLo to RDBBlocksHi"});
    std::uint32_t links = 0;
    protect_chain(get_long(rdsk, field::rdsk_partition_list), part_id, "PART block", size, device_bytes, links);
    protect_chain(get_long(rdsk, field::rdsk_bad_block_list), badb_id, "bad block list", size, device_bytes, links);
    protect_chain(get_long(rdsk, field::rdsk_fs_header_list), fshd_id, "filesystem header", size, device_bytes,
                  links);
}

bool partition_table_protected() { return !table.empty(); }

int refuse_table_write(std::uint32_t block)
{
    const Protected *p = hit(block);
    if (!p)
        return 0;
    log_error("unable to write block %u (bytes %" PRIu64 " to %" PRIu64 " hold the partition table's %s)\n", block,
              p->first, p->end - 1, p->what);
    return 1;
}

int refuse_table_writes(const std::uint32_t *blocks, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (const Protected *p = hit(blocks[i])) {
            log_error("block %u lies on the partition table's %s (bytes %" PRIu64 " to %" PRIu64
                      "); nothing written\n",
                      blocks[i], p->what, p->first, p->end - 1);
            return 1;
        }
    }
    return 0;
}
