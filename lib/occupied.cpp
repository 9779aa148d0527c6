// The formatter's look at what a device holds before it writes: a format
// over a partition table, another filesystem or an Amiga volume loses data
// that the user may not know is there, so it is refused unless forced.
#include "volume.h"

#include <blkid/blkid.h>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t rdsk_id = 0x5244534B;  // "RDSK"
constexpr std::uint32_t rdsk_search_sectors = 16;

// reads `count` bytes at byte `at` of the device; false at its end or on a
// failed read, which the probe counts as nothing found
bool read_bytes(std::uint8_t *buffer, std::size_t count, std::uint64_t at)
{
    return pread(volume.fd, buffer, count, off_t(at)) == ssize_t(count);
}

// the sector among the first 16 whose first long is "RDSK", or -1; its
// checksum is not asked for: even a damaged table is the user's table
std::int64_t rdsk_sector(std::uint64_t bytes)
{
    alignas(4) std::uint8_t sector[512];
    for (std::uint32_t s = 0; s < rdsk_search_sectors && (s + 1) * 512ull <= bytes; ++s)
        if (read_bytes(sector, sizeof sector, volume.partition_offset + s * 512ull) &&
            get_long(sector, field::table_id) == rdsk_id)
            return s;
    return -1;
}

// The root block of a volume that fills the `bytes`: it lies among the
// eight sectors after the middle, as the checker searches it.  Its name
// goes into `name`, masked for a terminal.
bool find_amiga_root(std::uint64_t bytes, std::string &name)
{
    alignas(4) std::uint8_t block[max_block_size];
    std::uint64_t middle = bytes / 512 / 2;
    for (std::uint64_t s = middle; s < middle + 8; ++s) {
        if (!read_bytes(block, 512, volume.partition_offset + s * 512) || get_long(block, field::type) != header_type ||
            get_long(block, field::header_key) != 0 || get_long(block, field::high_seq) != 0 ||
            get_long(block, field::first_data) != 0)
            continue;
        std::uint64_t size = (std::uint64_t(get_long(block, field::hash_table_size)) + header_longs) * 4;
        std::uint32_t shift = shift_of_block_size(std::int64_t(size));
        if (shift == 0)
            continue;
        std::uint64_t at = (s >> (shift - 9)) << shift;
        if (at + size > bytes || !read_bytes(block, std::size_t(size), volume.partition_offset + at))
            continue;
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < size; i += 4)
            sum += get_long(block, i);
        std::uint32_t end = std::uint32_t(size);
        if (sum != 0 || std::int32_t(get_long(block, end - field::secondary_type)) != Root)
            continue;
        std::uint32_t length = block[end - field::name_length];
        name.assign(reinterpret_cast<const char *>(block + end - field::name), length < name_room ? length : name_room);
        name.resize(strnlen(name.c_str(), name.size()));
        mask_for_terminal(name.data(), name.size());
        return true;
    }
    return false;
}

// What libblkid recognises in the bytes: a filesystem, a partition table,
// or several signatures at once.  Empty when nothing.
std::string blkid_finding(std::uint64_t bytes, bool &failed)
{
    failed = false;
    blkid_probe probe = blkid_new_probe();
    if (!probe || blkid_probe_set_device(probe, volume.fd, blkid_loff_t(volume.partition_offset),
                                         blkid_loff_t(bytes)) != 0) {
        if (probe)
            blkid_free_probe(probe);
        failed = true;
        return "";
    }
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
    blkid_probe_enable_partitions(probe, 1);
    std::string found;
    int result = blkid_do_safeprobe(probe);
    const char *value = nullptr;
    auto article = [](const char *word) { return std::strchr("aeiouAEIOU", word[0]) && word[0] ? "an " : "a "; };
    if (result == 0 && blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value)
        found = article(value) + std::string(value) + " filesystem";
    else if (result == 0 && blkid_probe_lookup_value(probe, "PTTYPE", &value, nullptr) == 0 && value)
        found = article(value) + std::string(value) + " partition table";
    else if (result == -2)
        found = "the signatures of several filesystems";
    else if (result < 0)
        failed = true;
    blkid_free_probe(probe);
    return found;
}

}  // namespace

int refuse_format_over_data(std::uint64_t bytes, const char *which)
{
    std::string subject = std::string("'") + volume.device_path + "'";
    if (which)
        subject = "partition " + std::string(which) + " of " + subject;
    const char *what = subject.c_str();
    std::int64_t sector = rdsk_sector(bytes);
    if (sector >= 0) {
        if (which)
            log_error("%s holds a partition table (RDSK at sector %" PRId64 "); -f formats over it\n", what, sector);
        else
            log_error("%s holds a partition table (RDSK at sector %" PRId64 "); -p PART formats one of its "
                      "partitions\n",
                      what, sector);
        return 1;
    }
    std::string name;
    if (find_amiga_root(bytes, name)) {
        log_error("%s holds the Amiga volume \"%s\"; -f formats over it\n", what, name.c_str());
        return 1;
    }
    bool failed = false;
    std::string found = blkid_finding(bytes, failed);
    if (!found.empty()) {
        log_error("%s holds %s; -f formats over it\n", what, found.c_str());
        return 1;
    }
    if (failed) {
        log_error("unable to tell what %s holds; -f formats it all the same\n", what);
        return 1;
    }
    return 0;
}
