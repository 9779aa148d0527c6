// A wrong reserved count (-r) shifts the whole map by the difference: every
// block of the volume's bitmap is read as its neighbour's.  Written back,
// such a map marks blocks of live files free.  A shift shows in the
// comparison: read with the right count, the volume's own bitmap agrees with
// the rebuilt map far better.  So before -w writes, the two maps are also
// compared as if the count were one of its neighbours.
#include "internal.h"

namespace {

// how far from the given count the others are tried
constexpr std::uint32_t reach = 4;

// map bit k as the maps keep it (bit k & 7 of byte (k >> 3) XOR 3)
bool map_bit(const std::uint8_t *map, std::uint64_t k) { return map[(k >> 3) ^ 3] >> (k & 7) & 1; }

// The blocks whose bit differs between the rebuilt map and the volume's
// bitmap read as if `reserved` blocks came before its first bit, counted up
// to `limit`.
std::uint64_t differences(std::uint32_t reserved, std::uint64_t limit)
{
    std::uint32_t given = volume.reserved_blocks;
    std::uint64_t bits = std::uint64_t(volume.total_blocks) - given;
    std::uint64_t count = 0;
    for (std::uint64_t b = reserved > given ? reserved : given; b < volume.total_blocks; ++b) {
        std::uint64_t disk = b - reserved;
        if (disk >= bits)
            break;
        count += map_bit(volume.work_map, b - given) != map_bit(volume.disk_map, disk);
        if (count >= limit)
            break;
    }
    return count;
}

}  // namespace

int refuse_reserved_misfit() { return refuse_reserved_misfit(tallies().of(Effect::BitmapDifference)); }

int refuse_reserved_misfit(std::uint64_t own)
{
    if (Problem reason; (volume.options & ForceCheck) || bitmap_refused(reason) || !volume.work_map ||
        !volume.disk_map)
        return 0;
    std::uint32_t given = volume.reserved_blocks;
    if (own == 0)
        return 0;
    // only a count with under a tenth of them matters: the count of each
    // other one stops there
    std::uint64_t limit = (own + 9) / 10;
    std::uint32_t best = given;
    std::uint64_t fewest = own;
    for (std::uint32_t r = given > reach ? given - reach : 1; r <= given + reach && r < volume.total_blocks; ++r) {
        if (r == given)
            continue;
        std::uint64_t d = differences(r, limit);
        if (d < fewest)
            best = r, fewest = d;
    }
    // far fewer: under a tenth
    if (best == given || fewest * 10 >= own)
        return 0;
    raise(Problem::RefuseReserved, 0, best, given);
    return 1;
}
