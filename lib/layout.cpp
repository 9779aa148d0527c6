// The layout's conversions: dates, block sizes, DOS types and block counts,
// and the numbers that the command line gives for them.
#include "volume.h"

#include <cerrno>
#include <cstdlib>

AmigaDate amiga_date_from_unix(std::int64_t seconds)
{
    if (seconds <= amiga_epoch)
        return {0, 0, 0};
    std::int64_t s = seconds - amiga_epoch;
    std::int64_t days = s / 86400;
    std::int64_t r = s - days * 86400;
    std::int64_t minutes = r / 60;
    return {std::uint32_t(days), std::uint32_t(minutes), std::uint32_t((r - minutes * 60) * 50)};
}

std::uint32_t unix_from_amiga_date(AmigaDate date)
{
    return date.ticks / 50 + date.days * 86400u + date.minutes * 60u + amiga_epoch;
}

AmigaDate get_date(const std::uint8_t *block, std::uint32_t distance)
{
    return {get_tail(block, distance), get_tail(block, distance - 4), get_tail(block, distance - 8)};
}

void put_date(std::uint8_t *block, std::uint32_t distance, AmigaDate date)
{
    put_tail(block, distance, date.days);
    put_tail(block, distance - 4, date.minutes);
    put_tail(block, distance - 8, date.ticks);
}

std::uint32_t shift_of_block_size(std::int64_t size)
{
    switch (size) {
    case 512: return 9;
    case 1024: return 10;
    case 2048: return 11;
    case 4096: return 12;
    default: return 0;
    }
}

int parse_number(const char *text, std::int64_t &value)
{
    // strtol's reading: base 10, leading blanks and a sign, no digits is 0,
    // whatever follows the digits is ignored; only its overflow is caught here
    errno = 0;
    long long number = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || number < INT32_MIN || number > std::int64_t(UINT32_MAX)) {
        log_error("number '%s' does not fit in 32 bits\n", text);
        return 1;
    }
    value = number;
    return 0;
}

namespace {
constexpr std::uint32_t dos_letters = 0x444F5300;       // "DOS" and a number
constexpr std::uint32_t multiuser_letters = 0x6D754600; // "muF" and a number
constexpr std::uint32_t multiuser_fs = 0x6D754653;      // "muFS"

// the variant bits of the numbers 0 .. 5
constexpr std::uint8_t number_flags[6] = {
    OldFormat, 0, OldFormat | International, International, OldFormat | DirCache, DirCache,
};
}  // namespace

int flags_from_dos_type(std::uint32_t dos_type)
{
    if (dos_type == multiuser_fs)
        return MultiUser | International;
    std::uint32_t letters = dos_type & 0xFFFFFF00u, number = dos_type & 0xFF;
    if (number > 5)
        return -1;
    if (letters == dos_letters)
        return number_flags[number];
    if (letters == multiuser_letters)
        return MultiUser | number_flags[number];
    return -1;
}

std::uint32_t dos_type_from_flags(std::uint8_t flags)
{
    std::uint32_t number = (flags & OldFormat) ? 0 : 1;
    if (flags & International)
        number += 2;
    else if (flags & DirCache)
        number += 4;
    return ((flags & MultiUser) ? multiuser_letters : dos_letters) | number;
}

std::uint32_t bitmap_block_count()
{
    if (volume.total_blocks <= volume.reserved_blocks)
        return 0;
    std::uint64_t bits = bitmap_bits_per_block();
    std::uint64_t blocks = std::uint64_t(volume.total_blocks) - volume.reserved_blocks;
    return std::uint32_t((blocks - 1 + bits) / bits);
}

std::uint32_t bitmap_ext_count(std::uint32_t count)
{
    if (count <= root_bitmap_pages)
        return 0;
    std::uint32_t per = volume.block_size / 4 - 1;
    return (count - root_bitmap_pages + per - 1) / per;
}

// In 64 bits: in 32 the sum wraps for files within one block of 4 GiB, whose
// blocks would then count as none.
std::uint32_t data_block_count(std::uint32_t byte_size)
{
    std::uint64_t per = volume.data_bytes_per_block;
    return std::uint32_t((byte_size + per - 1) / per);
}

std::uint32_t name_hash_slot(const std::uint8_t *name, std::uint32_t length)
{
    bool latin1 = (volume.variant & (International | DirCache)) != 0;
    std::uint32_t h = length;
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint32_t c = name[i];
        if ((c >= 'a' && c <= 'z') || (latin1 && c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c -= 32;
        h = (h * 13 + c) & 0x7FF;
    }
    return h % hash_slots();
}
