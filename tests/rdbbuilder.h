// Test partition tables: the blocks of a Rigid Disk Block (an RDSK block and
// a chain of PART blocks), made independently of the tools' library, with
// every field that a test may want to damage within reach.  rdbimage.h
// writes them into image files.
#pragma once

#include "volbuilder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rdb {

inline constexpr uint32_t kRdsk = 0x5244534B, kPart = 0x50415254, kEnd = 0xFFFFFFFF;
inline constexpr uint32_t kPfs3 = 0x50465303;

struct Part {
    std::string name = "DH0";
    uint32_t dos_type = tv::kDos1;
    uint32_t flags = 0;  // 1 bootable, 2 no-mount
    uint32_t size_block = 128, surfaces = 2, sector_per_block = 1, blocks_per_track = 32, reserved = 2;
    uint32_t low_cyl = 2, high_cyl = 65;
    uint32_t summed_longs = 64;

    uint64_t cylinder() const { return uint64_t(surfaces) * blocks_per_track * size_block * 4; }
    uint64_t first_byte() const { return cylinder() * low_cyl; }
    uint64_t end_byte() const { return cylinder() * (uint64_t(high_cyl) + 1); }
    uint32_t block_size() const { return size_block * 4 * sector_per_block; }
};

struct Table {
    uint32_t rdsk_sector = 0;
    uint32_t block_bytes = 512;
    uint32_t summed_longs = 64;
    uint32_t first_part = 1;  // PART blocks follow one another from this block (in block_bytes)
    std::vector<Part> parts;

    uint64_t part_offset(size_t i) const { return (uint64_t(first_part) + i) * block_bytes; }
};

inline void seal(uint8_t *block) {
    uint32_t summed = tv::get_be32(block + 4);
    tv::put_be32(block + 8, 0);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < summed; ++i) sum += tv::get_be32(block + 4 * i);
    tv::put_be32(block + 8, 0u - sum);
}

// The table's blocks, each with its byte offset on the device.
inline std::vector<std::pair<uint64_t, std::vector<uint8_t>>> blocks(const Table &t) {
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> out;
    std::vector<uint8_t> rdsk(512);
    tv::put_be32(&rdsk[0], kRdsk);
    tv::put_be32(&rdsk[4], t.summed_longs);
    tv::put_be32(&rdsk[16], t.block_bytes);
    tv::put_be32(&rdsk[24], kEnd);  // no bad block list
    tv::put_be32(&rdsk[28], t.parts.empty() ? kEnd : t.first_part);
    tv::put_be32(&rdsk[32], kEnd);  // no filesystem headers
    if (t.summed_longs <= 128) seal(rdsk.data());
    out.emplace_back(uint64_t(t.rdsk_sector) * 512, rdsk);
    for (size_t i = 0; i < t.parts.size(); ++i) {
        const Part &p = t.parts[i];
        std::vector<uint8_t> b(t.block_bytes);
        tv::put_be32(&b[0], kPart);
        tv::put_be32(&b[4], p.summed_longs);
        tv::put_be32(&b[16], i + 1 < t.parts.size() ? uint32_t(t.first_part + i + 1) : kEnd);
        tv::put_be32(&b[20], p.flags);
        b[36] = uint8_t(p.name.size());
        for (size_t k = 0; k < p.name.size() && k < 31; ++k) b[37 + k] = uint8_t(p.name[k]);
        const uint32_t env[17] = {16, p.size_block, 0, p.surfaces, p.sector_per_block, p.blocks_per_track,
                                  p.reserved, 0, 0, p.low_cyl, p.high_cyl, 30, 0, 0xFFFFFF, 0x7FFFFFFE, 0,
                                  p.dos_type};
        for (uint32_t k = 0; k < 17; ++k) tv::put_be32(&b[128 + 4 * k], env[k]);
        if (p.summed_longs <= t.block_bytes / 4) seal(b.data());
        out.emplace_back(t.part_offset(i), b);
    }
    return out;
}

}  // namespace rdb
