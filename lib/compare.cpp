// The comparison of the rebuilt work map with the volume's own bitmap.
#include "volume.h"

#include <bit>
#include <cstring>

std::uint32_t compare_bitmaps()
{
    log_verbose(2, "bitmap check: ");
    std::uint64_t blocks = std::uint64_t(volume.total_blocks) - volume.reserved_blocks;
    std::uint64_t last = (blocks - 1) >> 3;
    std::uint32_t tail_bits = std::uint32_t(blocks & 7);
    const std::uint8_t *work = volume.work_map, *disk = volume.disk_map;
    std::uint32_t count = 0;
    for (std::uint64_t b = 0; blocks != 0 && b <= last; ++b) {
        // map bytes come in groups of four (one long); eight equal bytes at
        // once are passed over with one comparison
        if ((b & 7) == 0 && b + 7 <= last && std::memcmp(work + b, disk + b, 8) == 0) {
            b += 7;
            continue;
        }
        std::size_t index = std::size_t(b ^ 3);
        std::uint8_t w = work[index], d = disk[index];
        if (w == d)
            continue;
        std::uint32_t x = w ^ d;
        if (b == last && tail_bits != 0)
            x &= (1u << tail_bits) - 1;
        if (volume.verbosity < 2) {
            count += std::uint32_t(std::popcount(x));
            continue;
        }
        for (; x != 0; x &= x - 1) {
            std::uint32_t p = std::uint32_t(std::countr_zero(x));
            std::uint32_t block = std::uint32_t(volume.reserved_blocks + 8 * b + p);
            if (!(w & (1u << p)))  // the checker found it free, the volume's bitmap in use
                log_verbose(2, "{%d} ", block);
            else
                log_verbose(2, "<%d> ", block);
            count += 1;
        }
    }
    log_verbose(2, "\n");
    return count;
}
