// A PC partition table (MBR) around the Amiga's own: SD cards of Amiga
// accelerators hold the Rigid Disk Block inside a primary partition of type
// 0x76, where the table's sectors count from that partition's start.
#include "volume.h"

#include <cinttypes>

namespace {

constexpr std::uint8_t amiga_type = 0x76;
constexpr std::uint32_t entries = 4;

std::uint32_t get_le32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

int find_mbr_amiga_partition(const std::uint8_t *sector0, std::uint64_t device_bytes, std::uint64_t &first,
                             std::uint64_t &length, bool report)
{
    if (sector0[field::mbr_signature] != 0x55 || sector0[field::mbr_signature + 1] != 0xAA)
        return 0;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint8_t *entry = sector0 + field::mbr_entries + i * field::mbr_entry_bytes;
        if (entry[field::mbr_type] != amiga_type)
            continue;
        std::uint64_t start = get_le32(entry + field::mbr_first_sector);
        std::uint64_t sectors = get_le32(entry + field::mbr_sectors);
        // sector 0 is the MBR's own
        if (start == 0 || sectors == 0 || (start + sectors) * 512 > device_bytes) {
            if (report)
                log_error("MBR partition %u of type 0x76 (sectors %" PRIu64 " to %" PRIu64
                          ") is empty or lies past the end of the device (%" PRIu64 " bytes)\n",
                          i + 1, start, start + sectors - 1, device_bytes);
            return -1;
        }
        first = start * 512;
        length = sectors * 512;
        return int(i + 1);
    }
    return 0;
}
