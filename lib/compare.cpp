// The comparison of the rebuilt work map with the volume's own bitmap: every
// block on which they disagree is a finding, raised in runs of blocks of one
// kind.
#include "internal.h"

#include <bit>
#include <cstring>

namespace {

// A run of differences of one kind that is still growing.
struct Run {
    Problem problem = Problem::BitmapUsedFree;
    std::uint32_t first = 0;
    std::uint32_t count = 0;

    void add(Problem kind, std::uint32_t block)
    {
        if (count != 0 && kind == problem && std::uint64_t(first) + count == block) {
            count += 1;
            return;
        }
        end();
        problem = kind;
        first = block;
        count = 1;
    }
    void end()
    {
        if (count != 0)
            raise_run(problem, first, count);
        count = 0;
    }
};

}  // namespace

std::uint32_t compare_bitmaps()
{
    reporter().note(Note::CompareBegin, {});
    std::uint64_t blocks = std::uint64_t(volume.total_blocks) - volume.reserved_blocks;
    std::uint64_t last = (blocks - 1) >> 3;
    std::uint32_t tail_bits = std::uint32_t(blocks & 7);
    const std::uint8_t *work = volume.work_map, *disk = volume.disk_map;
    std::uint32_t count = 0;
    Run run;
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
        for (; x != 0; x &= x - 1) {
            std::uint32_t p = std::uint32_t(std::countr_zero(x));
            auto block = std::uint32_t(volume.reserved_blocks + 8 * b + p);
            // in memory a set bit is a block in use: the checker found it
            // free where the volume's bitmap has it in use, or the other way
            run.add((w & (1u << p)) ? Problem::BitmapUsedFree : Problem::BitmapFreeUsed, block);
            count += 1;
        }
    }
    run.end();
    reporter().note(Note::CompareEnd, {});
    return count;
}
