// Partition tables: the Rigid Disk Block (an RDSK block in one of the first
// 16 sectors and a chain of PART blocks), read and checked as hostile input,
// listed, and used to narrow the session to one partition.
#include "volume.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::uint32_t rdsk_id = 0x5244534B;  // "RDSK"
constexpr std::uint32_t part_id = 0x50415254;  // "PART"
constexpr std::uint32_t end_of_list = 0xFFFFFFFF;
constexpr std::uint32_t rdsk_search_sectors = 16;
constexpr std::uint32_t min_summed_longs = 8;  // the header and the list pointer

// where the table's sectors and blocks count from: 0, or the start of the
// MBR partition that holds the table
std::uint64_t table_base;

// Reads table block `block` (in units of `size` bytes, from table_base on)
// of the whole device through the guarded read, whatever partition the
// session is narrowed to.
int read_table_block(std::uint8_t *buffer, std::uint64_t block, std::uint32_t size, std::uint64_t device_bytes)
{
    std::uint32_t shift = shift_of_block_size(size);
    return read_block_in({table_base, size, shift, 0, device_bytes >> shift}, buffer, block);
}

const char *id_text(std::uint32_t id) { return id == rdsk_id ? "RDSK" : "PART"; }

// 0 when the table block at `block` has the id `id`, a SummedLongs within
// 8 .. `room` longs and a good checksum; else 1, with a message when `report`.
int check_table_block(const std::uint8_t *buffer, std::uint32_t id, std::uint32_t block, std::uint32_t room,
                      bool report)
{
    if (get_long(buffer, field::table_id) != id) {
        if (report)
            log_error("block %u of the partition table is no %s block\n", block, id_text(id));
        return 1;
    }
    std::uint32_t summed = get_long(buffer, field::table_summed_longs);
    if (summed < min_summed_longs || summed > room) {
        if (report)
            log_error("%s block at %u: SummedLongs %u is outside %u to %u\n", id_text(id), block, summed,
                      min_summed_longs, room);
        return 1;
    }
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < summed; ++i)
        sum += get_long(buffer, 4 * i);
    if (sum != 0) {
        if (report)
            log_error("%s block at %u has a bad checksum\n", id_text(id), block);
        return 1;
    }
    return 0;
}

// The first sound RDSK block among the first 16 sectors, read into
// `buffer`: its sector, or -1.  `faulty` gets the first sector that holds
// the id but fails the checks, or -1.
std::int64_t find_rdsk(std::uint8_t *buffer, std::uint64_t device_bytes, std::int64_t &faulty)
{
    faulty = -1;
    for (std::uint32_t sector = 0; sector < rdsk_search_sectors && (sector + 1) * 512ull <= device_bytes; ++sector) {
        if (read_table_block(buffer, sector, 512, device_bytes) != 0)
            return -1;
        if (get_long(buffer, field::table_id) != rdsk_id)
            continue;
        if (check_table_block(buffer, rdsk_id, sector, 512 / 4, false) == 0)
            return sector;
        if (faulty < 0)
            faulty = sector;
    }
    return -1;
}

// The table's place: the first sound RDSK block among the first 16 sectors
// of the device, or else of the MBR partition of type 0x76 (table_base is
// then its start, `window` its length, `mbr` its number).  As find_rdsk;
// `mbr` is -1 after a message about a faulty MBR entry.
std::int64_t locate_rdsk(std::uint8_t *buffer, std::uint64_t device_bytes, std::int64_t &faulty,
                         std::uint64_t &window, int &mbr, bool report)
{
    table_base = 0;
    window = device_bytes;
    mbr = 0;
    std::int64_t sector = find_rdsk(buffer, device_bytes, faulty);
    if (sector >= 0 || faulty >= 0 || device_bytes < 512 || read_table_block(buffer, 0, 512, device_bytes) != 0)
        return sector;
    std::uint64_t first = 0, length = 0;
    mbr = find_mbr_amiga_partition(buffer, device_bytes, first, length, report);
    if (mbr <= 0)
        return -1;
    table_base = first;
    window = length;
    return find_rdsk(buffer, length, faulty);
}

// Bytes as printable text: letters, digits and punctuation as they are;
// the backslash, blanks and every other byte as \xNN.
void escape_text(const std::uint8_t *bytes, std::uint32_t length, char *text)
{
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint8_t c = bytes[i];
        if (c > 0x20 && c < 0x7F && c != '\\')
            *text++ = char(c);
        else
            text += std::sprintf(text, "\\x%02X", c);
    }
    *text = '\0';
}

bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t &product)
{
    return !__builtin_mul_overflow(a, b, &product);
}

// Fills `part` from its PART block and checks its geometry against the
// device: 0 when sound, else 1 after a message.
int read_partition(const std::uint8_t *buffer, PartitionInfo &part, std::uint64_t device_bytes)
{
    part.flags = get_long(buffer, field::part_flags) & (part_bootable | part_no_mount);
    std::uint32_t length = buffer[field::part_drive_name];
    part.name_length = length < drive_name_room ? length : drive_name_room;
    std::memcpy(part.name, buffer + field::part_drive_name + 1, part.name_length);
    escape_text(part.name, part.name_length, part.name_text);
    part.dos_type = get_long(buffer, field::part_dos_type);
    part.reserved_blocks = get_long(buffer, field::part_reserved);

    std::uint32_t number = part.number;
    const char *name = part.name_text;
    if (length > drive_name_room) {
        log_error("partition %u: drive name of %u bytes is longer than its field of %u bytes\n", number, length,
                  drive_name_room);
        return 1;
    }
    std::uint64_t size_block = get_long(buffer, field::part_size_block);
    std::uint64_t sector_per_block = get_long(buffer, field::part_sector_per_block);
    std::uint64_t sector_bytes = size_block * 4, block_bytes = 0;
    if (!multiply(sector_bytes, sector_per_block, block_bytes) || shift_of_block_size(std::int64_t(block_bytes)) == 0) {
        log_error("partition %u (%s): SizeBlock %" PRIu64 " and SectorPerBlock %" PRIu64
                  " give no block size of 512, 1024, 2048 or 4096 bytes\n",
                  number, name, size_block, sector_per_block);
        return 1;
    }
    part.block_size = std::uint32_t(block_bytes);
    std::uint32_t low = get_long(buffer, field::part_low_cyl), high = get_long(buffer, field::part_high_cyl);
    if (high < low) {
        log_error("partition %u (%s): HighCyl %u is below LowCyl %u\n", number, name, high, low);
        return 1;
    }
    std::uint64_t surfaces = get_long(buffer, field::part_surfaces);
    std::uint64_t per_track = get_long(buffer, field::part_blocks_per_track);
    std::uint64_t cylinder = 0, track = 0, length_bytes = 0;
    if (!multiply(surfaces, per_track, track) || !multiply(track, sector_bytes, cylinder) ||
        !multiply(cylinder, low, part.first_byte) ||
        !multiply(cylinder, std::uint64_t(high) - low + 1, length_bytes) ||
        __builtin_add_overflow(part.first_byte, length_bytes, &part.end_byte)) {
        log_error("partition %u (%s): cylinders of Surfaces %" PRIu64 " x BlocksPerTrack %" PRIu64
                  " x %" PRIu64 " bytes up to HighCyl %u overflow 64 bits\n",
                  number, name, surfaces, per_track, sector_bytes, high);
        return 1;
    }
    if (cylinder == 0) {
        log_error("partition %u (%s): Surfaces %" PRIu64 " and BlocksPerTrack %" PRIu64 " give empty cylinders\n",
                  number, name, surfaces, per_track);
        return 1;
    }
    if (part.end_byte > device_bytes) {
        log_error("partition %u (%s): last byte %" PRIu64 " lies past the end of the device (%" PRIu64 " bytes)\n",
                  number, name, part.end_byte - 1, device_bytes);
        return 1;
    }
    return 0;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The partition that `which` names: all digits are its number, anything
// else its drive name, compared without regard to case.
const PartitionInfo *find_partition(const PartitionTable &table, const char *which)
{
    std::size_t length = std::strlen(which);
    bool digits = length > 0 && length <= 9;
    for (std::size_t i = 0; i < length; ++i)
        digits = digits && which[i] >= '0' && which[i] <= '9';
    for (std::uint32_t i = 0; i < table.count; ++i) {
        const PartitionInfo &part = table.part[i];
        if (digits) {
            if (std::uint32_t(std::strtoul(which, nullptr, 10)) == part.number)
                return &part;
            continue;
        }
        if (part.name_length != length)
            continue;
        bool same = true;
        for (std::size_t k = 0; k < length && same; ++k)
            same = lower(char(part.name[k])) == lower(which[k]);
        if (same)
            return &part;
    }
    return nullptr;
}

PartitionTable table;

// A drive name that two partitions share, in any case, names neither: the
// user would not know which one is written.  `part` is the first match.
bool ambiguous(const PartitionTable &from, const char *which, const PartitionInfo &part)
{
    std::size_t length = std::strlen(which);
    if (length <= 9 && std::strspn(which, "0123456789") == length)
        return false;  // a number names one partition
    for (std::uint32_t i = 0; i < from.count; ++i) {
        const PartitionInfo &other = from.part[i];
        bool same = &other != &part && other.name_length == length;
        for (std::size_t k = 0; k < length && same; ++k)
            same = lower(char(other.name[k])) == lower(which[k]);
        if (same) {
            log_error("partition name %s is ambiguous: partitions %u (%s) and %u (%s); give its number\n", which,
                      part.number, part.name_text, other.number, other.name_text);
            return true;
        }
    }
    return false;
}

// A partition whose reserved blocks take all of it holds no volume.
int refuse_reserved(const PartitionInfo &part, std::uint32_t block_size, std::uint32_t reserved)
{
    std::uint64_t blocks = (part.end_byte - part.first_byte) / block_size;
    if (reserved < blocks)
        return 0;
    log_error("partition %u (%s) reserves %u blocks of its %" PRIu64 "\n", part.number, part.name_text, reserved,
              blocks);
    return 1;
}

// Reads the table and picks partition `which`, reporting its overlaps.
const PartitionInfo *choose_partition(const char *which, std::uint64_t device_bytes)
{
    if (which[0] == '\0') {
        log_error("-p takes a partition's number or drive name, not an empty text\n");
        return nullptr;
    }
    if (read_partition_table(table, device_bytes) != 0)
        return nullptr;
    const PartitionInfo *part = find_partition(table, which);
    if (part && ambiguous(table, which, *part))
        return nullptr;
    if (!part) {
        log_error("no partition %s in the partition table (%u partitions; --partitions lists them)\n", which,
                  table.count);
        return nullptr;
    }
    report_overlaps(table, part->number);
    log_verbose(1, "partition %u (%s) at bytes %" PRIu64 " to %" PRIu64 "\n", part->number, part->name_text,
                part->first_byte, part->end_byte - 1);
    return part;
}

void narrow_to(const PartitionInfo &part, std::uint64_t &device_bytes)
{
    volume.partition_offset = part.first_byte;
    device_bytes = part.end_byte - part.first_byte;
}

constexpr std::uint32_t linux_dos_type = 0x4C4E5800;  // "LNX\0", parted's type without a filesystem

// A PART block whose DosType the formatter writes once the volume is made.
struct Retype {
    bool pending;
    std::uint32_t number;
    const char *name;
    std::uint64_t byte;  // of the PART block on the device
    std::uint32_t size;  // the table's block size
    std::uint64_t device_bytes;
    std::uint64_t base;  // the table's table_base
    std::uint32_t block;  // the PART block's number in the table
    std::uint32_t old_type, new_type;
};

Retype retype;

int read_rdsk_chain(PartitionTable &out, std::uint8_t *buffer, std::int64_t sector, std::uint64_t device_bytes);

// Writes `count` bytes at `byte` of the whole device and flushes them.
int write_device_bytes(const std::uint8_t *bytes, std::uint32_t count, std::uint64_t byte)
{
    ssize_t n = pwrite(volume.fd, bytes, count, off_t(byte));
    if (n != ssize_t(count)) {
        log_error("unable to write the partition table's block at byte %" PRIu64 " (%s)\n", byte,
                  n < 0 ? std::strerror(errno) : "short write");
        return 1;
    }
    return flush_device();
}

}  // namespace

bool has_partition_table(std::uint64_t device_bytes)
{
    alignas(4) std::uint8_t buffer[512];
    std::int64_t faulty;
    std::uint64_t window;
    int mbr;
    return locate_rdsk(buffer, device_bytes, faulty, window, mbr, false) >= 0;
}

int read_partition_table(PartitionTable &out, std::uint64_t whole_device_bytes)
{
    alignas(4) std::uint8_t buffer[max_block_size];
    out.count = 0;
    std::int64_t faulty;
    // inside an MBR partition, the table and its partitions must fit that
    // partition, and count from its start
    std::uint64_t device_bytes;
    int mbr;
    std::int64_t sector = locate_rdsk(buffer, whole_device_bytes, faulty, device_bytes, mbr, true);
    out.base_byte = table_base;
    out.mbr_partition = mbr > 0 ? std::uint32_t(mbr) : 0;
    if (mbr > 0)
        log_verbose(1, "MBR partition %d of type 0x76 at bytes %" PRIu64 " to %" PRIu64 "\n", mbr, table_base,
                    table_base + device_bytes - 1);
    if (sector < 0) {
        if (mbr < 0) {
            // reported
        } else if (faulty < 0 && mbr > 0) {
            log_error("no partition table (RDSK block) in the first %u sectors of MBR partition %d (type 0x76)\n",
                      rdsk_search_sectors, mbr);
        } else if (faulty < 0) {
            log_error("no partition table (RDSK block) in the first %u sectors of the device\n",
                      rdsk_search_sectors);
        } else if (read_table_block(buffer, std::uint64_t(faulty), 512, device_bytes) == 0) {
            check_table_block(buffer, rdsk_id, std::uint32_t(faulty), 512 / 4, true);
        }
        table_base = 0;
        return 1;
    }
    int result = read_rdsk_chain(out, buffer, sector, device_bytes);
    table_base = 0;
    return result;
}

namespace {

// The RDSK block at `sector` (in `buffer`) and its chain of PART blocks,
// read as hostile input within `device_bytes` from table_base on; the
// partitions' bytes are then counted from the device's start.
int read_rdsk_chain(PartitionTable &out, std::uint8_t *buffer, std::int64_t sector, std::uint64_t device_bytes)
{
    out.rdsk_sector = std::uint32_t(sector);
    out.block_bytes = get_long(buffer, field::rdsk_block_bytes);
    if (shift_of_block_size(out.block_bytes) == 0) {
        log_error("RDSK block at %u: BlockBytes %u is not 512, 1024, 2048 or 4096\n", out.rdsk_sector,
                  out.block_bytes);
        return 1;
    }
    log_verbose(1, "partition table at sector %u\n", out.rdsk_sector);
    std::uint32_t next = get_long(buffer, field::rdsk_partition_list);
    while (next != end_of_list) {
        if (out.count == max_partitions) {
            log_error("partition list has more than %u entries\n", max_partitions);
            return 1;
        }
        for (std::uint32_t i = 0; i < out.count; ++i) {
            if (out.part[i].block == next) {
                log_error("partition list loops back to block %u\n", next);
                return 1;
            }
        }
        if ((std::uint64_t(next) + 1) * out.block_bytes > device_bytes) {
            log_error("partition list points to block %u, past the end of the device\n", next);
            return 1;
        }
        if (read_table_block(buffer, next, out.block_bytes, device_bytes) != 0 ||
            check_table_block(buffer, part_id, next, out.block_bytes / 4, true) != 0)
            return 1;
        PartitionInfo &part = out.part[out.count];
        part.number = out.count + 1;
        part.block = next;
        if (read_partition(buffer, part, device_bytes) != 0)
            return 1;
        ++out.count;
        next = get_long(buffer, field::part_next);
    }
    for (std::uint32_t i = 0; i < out.count; ++i) {
        out.part[i].first_byte += table_base;
        out.part[i].end_byte += table_base;
    }
    return 0;
}

}  // namespace

std::uint32_t report_overlaps(const PartitionTable &from, std::uint32_t number)
{
    std::uint32_t pairs = 0;
    for (std::uint32_t i = 0; i < from.count; ++i) {
        for (std::uint32_t j = i + 1; j < from.count; ++j) {
            const PartitionInfo &a = from.part[i], &b = from.part[j];
            if (number != 0 && a.number != number && b.number != number)
                continue;
            if (a.first_byte < b.end_byte && b.first_byte < a.end_byte) {
                log_error("partitions %u (%s) and %u (%s) overlap\n", a.number, a.name_text, b.number, b.name_text);
                ++pairs;
            }
        }
    }
    return pairs;
}

void dos_type_text(std::uint32_t dos_type, char *text)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        std::uint8_t c = std::uint8_t(dos_type >> shift);
        if (c > 0x20 && c < 0x7F && c != '\\')
            *text++ = char(c);
        else if (c <= 9)
            text += std::sprintf(text, "\\%u", unsigned(c));
        else
            text += std::sprintf(text, "\\x%02X", unsigned(c));
    }
    *text = '\0';
}

int print_partitions(std::uint64_t device_bytes)
{
    if (read_partition_table(table, device_bytes) != 0)
        return 1;
    std::printf("partition name dostype first-byte last-byte blocksize reserved flags\n");
    for (std::uint32_t i = 0; i < table.count; ++i) {
        const PartitionInfo &part = table.part[i];
        char dos[17];
        dos_type_text(part.dos_type, dos);
        const char *flags = part.flags == (part_bootable | part_no_mount) ? "bootable,nomount"
                            : part.flags == part_bootable                 ? "bootable"
                            : part.flags == part_no_mount                 ? "nomount"
                                                                          : "-";
        std::printf("%u %s %s %" PRIu64 " %" PRIu64 " %u %u %s\n", part.number,
                    part.name_length ? part.name_text : "-", dos, part.first_byte, part.end_byte - 1,
                    part.block_size, part.reserved_blocks, flags);
    }
    report_overlaps(table, 0);
    return 0;
}

int select_check_partition(const char *which, std::uint64_t &device_bytes, bool size_given, bool reserve_given)
{
    const PartitionInfo *part = choose_partition(which, device_bytes);
    if (!part)
        return 1;
    // the types that the checker knows: "DOS" and "muF" 0 to 5, and "muFS"
    if (flags_from_dos_type(part->dos_type) < 0) {
        char dos[17];
        dos_type_text(part->dos_type, dos);
        log_error("partition %u (%s) holds a %s filesystem, which is not checked\n", part->number, part->name_text,
                  dos);
        return 1;
    }
    if (!reserve_given && part->reserved_blocks == 0) {
        log_error("partition %u (%s) reserves no blocks, yet block 0 is the boot block; give -r\n", part->number,
                  part->name_text);
        return 1;
    }
    if (refuse_reserved(*part, size_given ? volume.block_size : part->block_size,
                        reserve_given ? volume.reserved_blocks : part->reserved_blocks) != 0)
        return 1;
    narrow_to(*part, device_bytes);
    // the table's size is the first guess: a volume formatted with another
    // one is found all the same
    if (!size_given)
        volume.first_guess_block_size = part->block_size;
    if (!reserve_given)
        volume.reserved_blocks = part->reserved_blocks;
    return 0;
}

int select_format_partition(const char *which, std::uint64_t &device_bytes, bool size_given, bool reserve_given,
                            bool force)
{
    const PartitionInfo *part = choose_partition(which, device_bytes);
    if (!part)
        return 1;
    char dos[17];
    dos_type_text(part->dos_type, dos);
    int table_flags = flags_from_dos_type(part->dos_type);
    // the formatter makes "DOS" 0 to 5 only, no multi-user volume
    bool foreign = table_flags < 0 || (table_flags & MultiUser);
    // Tables made on Linux name no filesystem (parted writes "LNX\0", or 0
    // for affs1): the partition gets the DOS type of the volume made.  Any
    // other filesystem's partition only when forced.
    retype = {};
    if (foreign && (part->dos_type == 0 || part->dos_type == linux_dos_type || force)) {
        retype = {true,
                  part->number,
                  part->name_text,
                  table.base_byte + std::uint64_t(part->block) * table.block_bytes,
                  table.block_bytes,
                  device_bytes,
                  table.base_byte,
                  part->block,
                  part->dos_type,
                  dos_type_from_flags(volume.variant)};
        foreign = false;
        table_flags = -1;
    }
    if (foreign) {
        log_error("partition %u (%s) is for a %s filesystem; nothing written\n", part->number, part->name_text, dos);
        return 1;
    }
    constexpr std::uint8_t variant = OldFormat | International | DirCache;
    if (retype.pending) {
        // the variant of the options, FFS without any
    } else if (volume.variant & variant) {
        std::uint32_t asked = dos_type_from_flags(volume.variant);
        if (asked != part->dos_type) {
            char asked_text[17];
            dos_type_text(asked, asked_text);
            log_error("the options ask for %s, but partition %u (%s) is for %s; nothing written\n", asked_text,
                      part->number, part->name_text, dos);
            return 1;
        }
    } else {
        volume.variant |= std::uint8_t(table_flags);
    }
    // the table's own blocks inside the partition would be overwritten
    std::uint64_t table_bytes[max_partitions + 1][2];
    table_bytes[0][0] = table.base_byte + std::uint64_t(table.rdsk_sector) * 512;
    table_bytes[0][1] = table_bytes[0][0] + 512;
    for (std::uint32_t i = 0; i < table.count; ++i) {
        table_bytes[i + 1][0] = table.base_byte + std::uint64_t(table.part[i].block) * table.block_bytes;
        table_bytes[i + 1][1] = table_bytes[i + 1][0] + table.block_bytes;
    }
    for (std::uint32_t i = 0; i <= table.count; ++i) {
        if (table_bytes[i][0] < part->end_byte && part->first_byte < table_bytes[i][1]) {
            log_error("partition %u (%s) covers the partition table's block at byte %" PRIu64 "; nothing written\n",
                      part->number, part->name_text, table_bytes[i][0]);
            return 1;
        }
    }
    if (refuse_reserved(*part, size_given ? volume.block_size : part->block_size,
                        reserve_given ? volume.reserved_blocks : part->reserved_blocks) != 0)
        return 1;
    narrow_to(*part, device_bytes);
    if (!size_given) {
        volume.block_size = part->block_size;
        volume.block_shift = shift_of_block_size(part->block_size);
    } else if (volume.block_size != part->block_size) {
        log_error("warning: partition %u (%s) has %u-byte blocks in the partition table, and the Amiga mounts it "
                  "with those, not with the %u-byte blocks of -s\n",
                  part->number, part->name_text, part->block_size, volume.block_size);
    }
    if (!reserve_given)
        volume.reserved_blocks = part->reserved_blocks;
    return 0;
}

bool partition_retype_pending(std::uint64_t &byte, std::uint32_t &size)
{
    byte = retype.byte;
    size = retype.size;
    return retype.pending;
}

int write_partition_type()
{
    if (!retype.pending)
        return 0;
    alignas(4) std::uint8_t block[max_block_size];
    std::uint64_t device_bytes = retype.device_bytes;
    // read again: the block must be the one that was checked
    table_base = retype.base;
    int result = read_table_block(block, retype.block, retype.size, device_bytes - retype.base);
    table_base = 0;
    if (result == 0 && (check_table_block(block, part_id, retype.block, retype.size / 4, true) != 0 ||
                        get_long(block, field::part_dos_type) != retype.old_type)) {
        log_error("the PART block of partition %u (%s) changed during the run; its DOS type is not written\n",
                  retype.number, retype.name);
        result = 1;
    }
    if (result != 0)
        return 1;
    put_long(block, field::part_dos_type, retype.new_type);
    // sealed over its own SummedLongs, as the table is read
    put_long(block, field::table_checksum, 0);
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < get_long(block, field::table_summed_longs); ++i)
        sum += get_long(block, 4 * i);
    put_long(block, field::table_checksum, 0u - sum);
    char old_text[17], new_text[17];
    dos_type_text(retype.old_type, old_text);
    dos_type_text(retype.new_type, new_text);
    log_verbose(1, "partition %u (%s): DOS type %s becomes %s in its PART block at byte %" PRIu64 "\n",
                retype.number, retype.name, old_text, new_text, retype.byte);
    // the volume's blocks that hold the PART block go through the undo file
    // first, whole: the undo file counts in the volume's block size
    std::uint32_t size = volume.block_size;
    alignas(4) std::uint8_t window[max_block_size];
    for (std::uint64_t at = retype.byte / size * size; at < retype.byte + retype.size && result == 0; at += size) {
        result = read_table_block(window, at / size, size, device_bytes);
        if (result != 0)
            break;
        std::uint64_t from = at > retype.byte ? at : retype.byte;
        std::uint64_t to = at + size < retype.byte + retype.size ? at + size : retype.byte + retype.size;
        std::memcpy(window + (from - at), block + (from - retype.byte), to - from);
        result = undo_note_device_write(window, at / size);
        if (result == 0)
            result = write_device_bytes(window, size, at);
    }
    return result;
}
