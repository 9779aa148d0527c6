// The encodings of the two fuzz targets' inputs, shared by the targets, the
// seed generator and the regression test (which replays stored inputs through
// the real programs).  Header only; nothing here uses the volume library.
//
// check_fuzzer input: the checker's options and a sparse description of an
// image, so that one input of a few kilobytes can stand for a volume of
// millions of blocks (bitmap extension chains need more than 101602 blocks
// even at 512 bytes per block) while every byte of it is something that the
// checker reads:
//
//   byte 0      bits 0-1 verbosity (3 counts as 2); bit 2 write (-w);
//               bit 3 clear (-c); bit 4 read-only (-n); bits 5-7 forced block
//               size: 1 .. 4 = 512 .. 4096 (-s), anything else none
//   byte 1      reserved blocks (-r); 0 means no -r: the default of 2, or
//               on a partition the partition's own
//   bytes 2-5   root block given with -b, big-endian; 0 = search for it
//   bytes 6-9   image size in 512-byte sectors, big-endian, taken modulo
//               max_check_sectors + 1
//   then records, until the input ends:
//     4 bytes   sector, big-endian
//     2 bytes   byte offset from the start of that sector, big-endian
//     2 bytes   length, big-endian; with bit 15 set, bits 0-14 are a count
//               and one byte follows that fills that many bytes; otherwise
//               that many literal bytes follow (cut short by the input's end)
//   The image is all zero bytes but for the records, applied in order and
//   cut at the image's end.
//
// format_fuzzer input: the formatter's options and the image size:
//
//   byte 0      bits 0-1 block size 512 << n; bit 2 ofs (-o); bit 3 intl
//               (-i); bit 4 dircache (-d); bit 5 root block given (-b);
//               bits 6-7 verbosity
//   bytes 1-4   reserved blocks (-r), big-endian
//   bytes 5-12  root block value (-b), big-endian, signed 64-bit
//   bytes 13-20 image size in bytes, big-endian, modulo max_format_bytes + 1
//   the rest    the volume name, up to its first NUL byte (at most 64 bytes)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz_input {

// 8 GiB of sparse image: maps of at most 2 MiB each, so that runs stay fast
constexpr std::uint64_t max_check_sectors = std::uint64_t(1) << 24;
constexpr std::uint64_t max_format_bytes = std::uint64_t(1) << 33;
constexpr std::size_t check_header_size = 10;
constexpr std::size_t format_header_size = 21;
constexpr std::size_t max_name_size = 64;

inline std::uint64_t get_be(const std::uint8_t *p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

inline void put_be(std::vector<std::uint8_t> &out, std::uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

struct CheckInput {
    int verbosity = 0;
    bool write = false, clear = false, readonly = false;
    std::uint32_t block_size = 0;  // 0: not forced
    std::uint32_t reserved = 2;
    bool reserved_given = false;  // byte 1 not 0: -r
    std::uint32_t root = 0;
    std::uint64_t sectors = 0;
    const std::uint8_t *records = nullptr;
    std::size_t records_size = 0;
};

inline bool parse_check_input(const std::uint8_t *data, std::size_t size, CheckInput &in)
{
    if (size < check_header_size)
        return false;
    std::uint8_t options = data[0];
    in.verbosity = (options & 3) == 3 ? 2 : options & 3;
    in.write = options & 0x04;
    in.clear = options & 0x08;
    in.readonly = options & 0x10;
    unsigned size_code = options >> 5;
    in.block_size = size_code >= 1 && size_code <= 4 ? 512u << (size_code - 1) : 0;
    in.reserved = data[1] ? data[1] : 2;
    in.reserved_given = data[1] != 0;
    in.root = std::uint32_t(get_be(data + 2, 4));
    in.sectors = get_be(data + 6, 4) % (max_check_sectors + 1);
    in.records = data + check_header_size;
    in.records_size = size - check_header_size;
    return true;
}

// Writes the records into `fd`, an image already sized to in.sectors sectors
// of zero bytes; false when a write fails.
inline bool write_check_records(int fd, const CheckInput &in)
{
    const std::uint64_t image_bytes = in.sectors * 512;
    const std::uint8_t *p = in.records, *end = in.records + in.records_size;
    std::vector<std::uint8_t> fill;
    while (end - p >= 8) {
        std::uint64_t at = get_be(p, 4) * 512 + get_be(p + 4, 2);
        std::uint32_t length = std::uint32_t(get_be(p + 6, 2));
        p += 8;
        const std::uint8_t *bytes;
        std::size_t count;
        if (length & 0x8000) {
            if (p == end)
                break;
            fill.assign(length & 0x7FFF, *p++);
            bytes = fill.data();
            count = fill.size();
        } else {
            count = std::size_t(end - p) < length ? std::size_t(end - p) : length;
            bytes = p;
            p += count;
        }
        if (at >= image_bytes)
            continue;
        if (count > image_bytes - at)
            count = std::size_t(image_bytes - at);
        if (count && pwrite(fd, bytes, count, off_t(at)) != ssize_t(count))
            return false;
    }
    return true;
}

// The checker's command line for the input, without -n, -w and -c and
// without the device.
inline std::vector<std::string> check_options(const CheckInput &in)
{
    std::vector<std::string> args;
    for (int i = 0; i < in.verbosity; ++i)
        args.push_back("-v");
    if (in.block_size)
        args.insert(args.end(), {"-s", std::to_string(in.block_size)});
    if (in.reserved_given)
        args.insert(args.end(), {"-r", std::to_string(in.reserved)});
    if (in.root)
        args.insert(args.end(), {"-b", std::to_string(in.root)});
    return args;
}

// Encoder for seeds: header, then records made with add_block.
struct CheckInputWriter {
    std::vector<std::uint8_t> out;

    CheckInputWriter(std::uint8_t options, std::uint8_t reserved, std::uint32_t root, std::uint64_t sectors)
    {
        out.push_back(options);
        out.push_back(reserved);
        put_be(out, root, 4);
        put_be(out, sectors, 4);
    }

    void set_sectors(std::uint64_t sectors)
    {
        for (int i = 0; i < 4; ++i)
            out[6 + i] = std::uint8_t(sectors >> (8 * (3 - i)));
    }

    // Adds the bytes at byte offset `at` of the image: runs of 16 or more
    // equal bytes as fill records, the rest as literal records, and runs of
    // zero bytes not at all (the image starts zero).
    void add_bytes(std::uint64_t at, const std::uint8_t *bytes, std::size_t count)
    {
        std::size_t i = 0;
        while (i < count) {
            std::size_t run = 1;
            while (i + run < count && bytes[i + run] == bytes[i] && run < 0x7FFF)
                ++run;
            if (bytes[i] == 0 && run >= 8) {
                i += run;
                continue;
            }
            if (run >= 16) {
                header(at + i, std::uint32_t(run) | 0x8000);
                out.push_back(bytes[i]);
                i += run;
                continue;
            }
            // a literal run up to the next run worth a record of its own
            std::size_t j = i;
            while (j < count && j - i < 0x7FFF) {
                std::size_t same = 1;
                while (j + same < count && bytes[j + same] == bytes[j] && same < 16)
                    ++same;
                if (same >= 16 || (bytes[j] == 0 && same >= 8))
                    break;
                j += same;
            }
            header(at + i, std::uint32_t(j - i));
            out.insert(out.end(), bytes + i, bytes + j);
            i = j;
        }
    }

private:
    void header(std::uint64_t at, std::uint32_t length)
    {
        std::uint64_t sector = at / 512, offset = at % 512;
        put_be(out, sector, 4);
        put_be(out, offset, 2);
        put_be(out, length, 2);
    }
};

struct FormatInput {
    std::uint32_t block_size = 512;
    bool ofs = false, intl = false, dircache = false, root_given = false;
    int verbosity = 0;
    std::uint32_t reserved = 2;
    std::int64_t root = 0;
    std::uint64_t bytes = 0;
    std::string name;
};

inline bool parse_format_input(const std::uint8_t *data, std::size_t size, FormatInput &in)
{
    if (size < format_header_size)
        return false;
    std::uint8_t options = data[0];
    in.block_size = 512u << (options & 3);
    in.ofs = options & 0x04;
    in.intl = options & 0x08;
    in.dircache = options & 0x10;
    in.root_given = options & 0x20;
    in.verbosity = options >> 6;
    in.reserved = std::uint32_t(get_be(data + 1, 4));
    in.root = std::int64_t(get_be(data + 5, 8));
    in.bytes = get_be(data + 13, 8) % (max_format_bytes + 1);
    in.name.clear();
    for (std::size_t i = format_header_size; i < size && in.name.size() < max_name_size && data[i]; ++i)
        in.name.push_back(char(data[i]));
    return true;
}

// The formatter's command line for the input, without the device and name.
inline std::vector<std::string> format_options(const FormatInput &in)
{
    std::vector<std::string> args;
    for (int i = 0; i < in.verbosity; ++i)
        args.push_back("-v");
    args.insert(args.end(), {"-s", std::to_string(in.block_size), "-r", std::to_string(in.reserved)});
    if (in.root_given)
        args.insert(args.end(), {"-b", std::to_string(in.root)});
    if (in.ofs)
        args.push_back("-o");
    if (in.intl)
        args.push_back("-i");
    if (in.dircache)
        args.push_back("-d");
    return args;
}

inline std::vector<std::uint8_t> format_input_bytes(const FormatInput &in)
{
    std::vector<std::uint8_t> out;
    unsigned size_code = in.block_size == 1024 ? 1 : in.block_size == 2048 ? 2 : in.block_size == 4096 ? 3 : 0;
    out.push_back(std::uint8_t(size_code | (in.ofs ? 0x04 : 0) | (in.intl ? 0x08 : 0) | (in.dircache ? 0x10 : 0) |
                               (in.root_given ? 0x20 : 0) | ((in.verbosity & 3) << 6)));
    put_be(out, in.reserved, 4);
    put_be(out, std::uint64_t(in.root), 8);
    put_be(out, in.bytes, 8);
    out.insert(out.end(), in.name.begin(), in.name.end());
    return out;
}

}  // namespace fuzz_input
