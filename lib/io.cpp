// Guarded block transfers, the block checksum and the two message functions.
#include "volume.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

VolumeSession volume;

namespace {

struct TransferTexts {
    const char *reserved;
    const char *out_of_range;
    const char *failed;
    const char *short_count;
};

constexpr TransferTexts read_texts = {
    "unable to read block %d (block is reserved)\n",
    "unable to read block %d (block is out of range)\n",
    "unable to read block %d (%s)\n",
    "short read of block %d (%d of %d)\n",
};

constexpr TransferTexts write_texts = {
    "unable to write block %d (block is reserved)\n",
    "unable to write block %d (block is out of range)\n",
    "unable to write block %d (%s)\n",
    "short write of block %d (%d of %d)\n",
};

// One positioned transfer per block: the same offset, the same count and the
// same outcomes as a seek followed by a read or write, in one system call.
int transfer(std::uint8_t *in, const std::uint8_t *out, std::uint64_t block, std::uint64_t limit,
             const TransferTexts &texts)
{
    int number = int(std::uint32_t(block));
    if (block < volume.reserved_blocks) {
        log_error(texts.reserved, number);
        return 1;
    }
    if (block >= limit) {
        log_error(texts.out_of_range, number);
        return 1;
    }
    // at most 2^44 bytes for 32-bit block numbers, well inside off_t
    std::uint64_t offset = block << volume.block_shift;
    ssize_t count = in ? pread(volume.fd, in, volume.block_size, off_t(offset))
                       : pwrite(volume.fd, out, volume.block_size, off_t(offset));
    if (count == ssize_t(volume.block_size))
        return 0;
    if (count < 0) {
        // a positioned transfer has no separate seek that could fail
        if (errno == ESPIPE || errno == EOVERFLOW)
            log_error("unable to seek to block %d (%s)\n", number, std::strerror(errno));
        else
            log_error(texts.failed, number, std::strerror(errno));
    } else {
        log_error(texts.short_count, number, int(count), int(volume.block_size));
    }
    return 1;
}

}  // namespace

int read_block_at(std::uint8_t *buffer, std::uint64_t block, std::uint64_t limit)
{
    return transfer(buffer, nullptr, block, limit, read_texts);
}

int read_block(std::uint8_t *buffer, std::uint32_t block)
{
    return transfer(buffer, nullptr, block, volume.total_blocks, read_texts);
}

int write_block(const std::uint8_t *buffer, std::uint32_t block)
{
    return transfer(nullptr, buffer, block, volume.total_blocks, write_texts);
}

int flush_device()
{
    if (fsync(volume.fd) == 0)
        return 0;
    log_error("unable to flush device (%s)\n", std::strerror(errno));
    return 1;
}

std::uint32_t block_checksum(const std::uint8_t *buffer)
{
    std::uint32_t sum = 0;
    for (std::uint32_t offset = 0; offset < volume.block_size; offset += 4)
        sum += get_long(buffer, offset);
    return sum;
}

void seal_block(std::uint8_t *buffer, std::uint32_t checksum_offset)
{
    put_long(buffer, checksum_offset, 0);
    put_long(buffer, checksum_offset, 0u - block_checksum(buffer));
}

void log_verbose(int level, const char *format, ...)
{
    if (volume.verbosity < level)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void log_error(const char *format, ...)
{
    std::printf("%s: ", program_name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}
