// Guarded block transfers, the block checksum and the two message functions.
#include "internal.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

VolumeSession volume;

namespace {

// The findings of a failed transfer: reading and writing
struct TransferProblems {
    Problem reserved, out_of_range, failed, short_count;
};
constexpr TransferProblems read_problems = {Problem::ReadReserved, Problem::ReadOutOfRange, Problem::ReadError,
                                            Problem::ReadShort};
constexpr TransferProblems write_problems = {Problem::WriteReserved, Problem::WriteOutOfRange, Problem::WriteError,
                                             Problem::WriteShort};

// The mapping of the image file, [mapped_base, mapped_base + mapped_length),
// of the descriptor mapped_fd.
const std::uint8_t *mapped_base;
std::uint64_t mapped_length;
int mapped_fd = -1;
std::uint64_t page_size;
// set by the handler of SIGBUS when a page of the mapping could not be read
volatile sig_atomic_t mapped_fault;
struct sigaction bus_action_before;
// The pages copied from lie mapped in the process until they are let go,
// and a fault maps the cached pages around the one it needs too: 64 KiB,
// aligned, by the kernel's default, or the whole of a larger page-cache
// folio, never across a 2 MiB boundary of the address space.  Once the
// copies reach a ninth 64 KiB window, the range that the eight before came
// from is released, widened to those boundaries, so that the run's resident
// memory stays within a megabyte or two of what it would be without the
// mapping.  The pages stay in the page cache.
constexpr unsigned window_shift = 16;
constexpr std::uint32_t windows_per_release = 8;
constexpr std::uintptr_t release_align = 2 << 20;
std::uintptr_t windows[windows_per_release];
std::uint32_t windows_touched;
std::uintptr_t last_window = ~std::uintptr_t(0);
std::uint64_t touched_low = ~std::uint64_t(0), touched_high;

void forget_touched()
{
    windows_touched = 0;
    last_window = ~std::uintptr_t(0);
    touched_low = ~std::uint64_t(0);
    touched_high = 0;
}

void release_touched()
{
    auto base = std::uintptr_t(mapped_base);
    std::uintptr_t low = (base + touched_low) & ~(release_align - 1);
    std::uintptr_t high = (base + touched_high + release_align - 1) & ~(release_align - 1);
    low = low > base ? low : base;
    high = high < base + mapped_length ? high : base + mapped_length;
    madvise(reinterpret_cast<void *>(low), high - low, MADV_DONTNEED);
    forget_touched();
}

// A read that failed under the mapping: the page is replaced by zeros, so
// that the copy ends, and the reader is told.  A SIGBUS from anywhere else
// goes to the action from before, which the retried instruction meets.
void on_bus_error(int, siginfo_t *info, void *)
{
    auto *address = static_cast<const std::uint8_t *>(info->si_addr);
    if (mapped_base && address >= mapped_base && address < mapped_base + mapped_length) {
        std::uint64_t page = std::uint64_t(address - mapped_base) & ~(page_size - 1);
        void *zeros = mmap(const_cast<std::uint8_t *>(mapped_base) + page, page_size, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            mapped_fault = 1;
            return;
        }
    }
    sigaction(SIGBUS, &bus_action_before, nullptr);
}

// true when the block came from the mapping; false when it is to be read
// by pread (not mapped, past the mapping's end, or a fault that ended the
// mapped reads)
bool copy_mapped(std::uint8_t *buffer, std::uint64_t offset, std::uint32_t size)
{
    if (volume.fd != mapped_fd || offset > mapped_length || mapped_length - offset < size)
        return false;
    std::memcpy(buffer, mapped_base + offset, size);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (mapped_fault) [[unlikely]] {
        end_mapped_reads();
        return false;
    }
    std::uintptr_t window = (std::uintptr_t(mapped_base) + offset) >> window_shift;
    if (window != last_window) {
        last_window = window;
        std::uint32_t i = 0;
        while (i < windows_touched && windows[i] != window)
            ++i;
        if (i == windows_touched) {
            if (windows_touched == windows_per_release)
                release_touched();
            windows[windows_touched++] = window;
        }
    }
    touched_low = offset < touched_low ? offset : touched_low;
    touched_high = offset + size > touched_high ? offset + size : touched_high;
    return true;
}

// One positioned transfer per block: the same offset, the same count and the
// same outcomes as a seek followed by a read or write, in one system call.
int transfer(const BlockSpan &span, std::uint8_t *in, const std::uint8_t *out, std::uint64_t block,
             const TransferProblems &problems)
{
    auto number = std::uint32_t(block);
    if (block < span.first) {
        raise(problems.reserved, number);
        return 1;
    }
    if (block >= span.end) {
        raise(problems.out_of_range, number);
        return 1;
    }
    // no run writes over the partition table
    if (out && span.guarded && refuse_table_write(std::uint32_t(block)) != 0)
        return 1;
    // the hash of what is written reaches the undo file first
    if (out && undo_note_write(out, std::uint32_t(block)) != 0)
        return 1;
    // at most 2^44 bytes for 32-bit block numbers, well inside off_t
    std::uint64_t offset = span.offset + (block << span.block_shift);
    if (in && copy_mapped(in, offset, span.block_size))
        return 0;
    ssize_t count = in ? pread(volume.fd, in, span.block_size, off_t(offset))
                       : pwrite(volume.fd, out, span.block_size, off_t(offset));
    if (count == ssize_t(span.block_size))
        return 0;
    if (count < 0) {
        // a positioned transfer has no separate seek that could fail
        if (errno == ESPIPE || errno == EOVERFLOW)
            raise(Problem::SeekError, number, std::uint32_t(errno));
        else
            raise(problems.failed, number, std::uint32_t(errno));
    } else {
        raise(problems.short_count, number, std::uint32_t(count), span.block_size);
    }
    return 1;
}

}  // namespace

BlockSpan session_span()
{
    return {volume.partition_offset, volume.block_size, volume.block_shift, volume.reserved_blocks,
            volume.total_blocks};
}

int read_block_in(const BlockSpan &span, std::uint8_t *buffer, std::uint64_t block)
{
    return transfer(span, buffer, nullptr, block, read_problems);
}

int write_block_in(const BlockSpan &span, const std::uint8_t *buffer, std::uint64_t block)
{
    return transfer(span, nullptr, buffer, block, write_problems);
}

bool (*read_overlay)(std::uint8_t *buffer, std::uint32_t block);

int read_block(std::uint8_t *buffer, std::uint32_t block)
{
    if (read_overlay && read_overlay(buffer, block)) [[unlikely]]
        return 0;
    return transfer(session_span(), buffer, nullptr, block, read_problems);
}

int write_block(const std::uint8_t *buffer, std::uint32_t block)
{
    return transfer(session_span(), nullptr, buffer, block, write_problems);
}

int open_device(bool read_only, bool exclusive, std::uint64_t &bytes)
{
    // O_EXCL without O_CREAT claims a block device for this run alone: the
    // kernel refuses it while the device is mounted or claimed elsewhere.
    // It changes nothing for a regular file.
    volume.fd = open(volume.device_path, read_only ? O_RDONLY : O_RDWR | (exclusive ? O_EXCL : 0));
    if (volume.fd < 0) {
        if (exclusive && errno == EBUSY) {
            log_error("'%s' is in use\n", volume.device_path);
            return 1;
        }
        std::perror("open");
        return 1;
    }
    struct stat status;
    if (fstat(volume.fd, &status) != 0) {
        std::perror("stat");
        return 1;
    }
    if (S_ISREG(status.st_mode)) {
        // a file behind a loop device is as busy as a mounted device
        if (exclusive && refuse_image_in_use(volume.fd, volume.device_path) != 0)
            return 1;
        bytes = std::uint64_t(status.st_size);
    } else if (S_ISBLK(status.st_mode)) {
        // the size query's result is not looked at: a failed one leaves 0,
        // which no volume fits in
        unsigned long sectors = 0;
        ioctl(volume.fd, BLKGETSIZE, &sectors);
        bytes = std::uint64_t(sectors) * 512;
    } else {
        log_error("'%s' isn't a valid device\n", volume.device_path);
        return 1;
    }
    return 0;
}

namespace {

// the descriptor whose reads are to be mapped, from begin_mapped_reads to
// end_mapped_reads; a pause unmaps it until the reads are resumed
int wanted_fd = -1;

void map_now()
{
    struct stat status;
    if (fstat(volume.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
        std::uint64_t(status.st_size) > SIZE_MAX)
        return;
    page_size = std::uint64_t(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &bus_action_before) != 0)
        return;
    void *base = mmap(nullptr, std::size_t(status.st_size), PROT_READ, MAP_SHARED | MAP_NORESERVE, volume.fd, 0);
    if (base == MAP_FAILED) {
        sigaction(SIGBUS, &bus_action_before, nullptr);
        return;
    }
    mapped_base = static_cast<const std::uint8_t *>(base);
    mapped_length = std::uint64_t(status.st_size);
    mapped_fd = volume.fd;
    mapped_fault = 0;
    forget_touched();
}

void unmap_now()
{
    if (!mapped_base)
        return;
    munmap(const_cast<std::uint8_t *>(mapped_base), std::size_t(mapped_length));
    sigaction(SIGBUS, &bus_action_before, nullptr);
    mapped_base = nullptr;
    mapped_length = 0;
    mapped_fd = -1;
    mapped_fault = 0;
}

}  // namespace

void begin_mapped_reads()
{
    end_mapped_reads();
    wanted_fd = volume.fd;
    map_now();
}

void end_mapped_reads()
{
    wanted_fd = -1;
    unmap_now();
}

void pause_mapped_reads() { unmap_now(); }

void resume_mapped_reads()
{
    if (wanted_fd >= 0 && wanted_fd == volume.fd && !mapped_base)
        map_now();
}

int flush_device()
{
    if (fdatasync(volume.fd) == 0)
        return 0;
    raise(Problem::FlushError, 0, std::uint32_t(errno));
    return 1;
}

namespace {

#if defined(__x86_64__)
// The sum with 256-bit vectors: each long is turned to host order by one
// byte shuffle and added in its own 32-bit lane, four vectors at a time.
// Every block size is a multiple of 128 bytes.  Chosen at run time, on
// processors that have AVX2.
__attribute__((target("avx2"))) std::uint32_t checksum_avx2(const std::uint8_t *buffer, std::uint32_t size)
{
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6,
                                          5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
    for (std::uint32_t offset = 0; offset < size; offset += 128) {
        const auto *p = reinterpret_cast<const __m256i *>(buffer + offset);
        a = _mm256_add_epi32(a, _mm256_shuffle_epi8(_mm256_loadu_si256(p), swap));
        b = _mm256_add_epi32(b, _mm256_shuffle_epi8(_mm256_loadu_si256(p + 1), swap));
        c = _mm256_add_epi32(c, _mm256_shuffle_epi8(_mm256_loadu_si256(p + 2), swap));
        d = _mm256_add_epi32(d, _mm256_shuffle_epi8(_mm256_loadu_si256(p + 3), swap));
    }
    __m256i all = _mm256_add_epi32(_mm256_add_epi32(a, b), _mm256_add_epi32(c, d));
    __m128i half = _mm_add_epi32(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4E));
    half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xB1));
    return std::uint32_t(_mm_cvtsi128_si32(half));
}

__attribute__((target("avx2"))) bool zero_avx2(const std::uint8_t *bytes, std::size_t count)
{
    __m256i any = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 128 <= count; i += 128) {
        const auto *p = reinterpret_cast<const __m256i *>(bytes + i);
        any = _mm256_or_si256(any, _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1)),
                                                    _mm256_or_si256(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3))));
        if (!_mm256_testz_si256(any, any))
            return false;
    }
    for (; i + 32 <= count; i += 32)
        any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + i)));
    std::uint8_t rest = 0;
    for (; i < count; ++i)
        rest |= bytes[i];
    return rest == 0 && _mm256_testz_si256(any, any);
}

#endif

bool cpu_has_avx2()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The paths of the checksum and the zero test.  The best one that the
// processor has is chosen at the first call; tests choose each in turn.
int chosen_path = -1;

int kernel_path()
{
    if (chosen_path < 0)
        chosen_path = cpu_has_avx2() ? Avx2Path : std::endian::native == std::endian::little ? WordPath : PlainPath;
    return chosen_path;
}

// The sum one long at a time: the path of big-endian processors.
std::uint32_t checksum_plain(const std::uint8_t *buffer, std::uint32_t size)
{
    std::uint32_t sum = 0;
    for (std::uint32_t offset = 0; offset < size; offset += 4)
        sum += get_long(buffer, offset);
    return sum;
}

// The sum of the big-endian longs is S0 << 24 + S1 << 16 + S2 << 8 + S3
// (modulo 2^32), where Sk is the sum of byte k of every long.  The byte
// sums are taken eight bytes at a time in the 16-bit lanes of two 64-bit
// words, which the compiler turns into vector additions; 256 words at most
// per round keep every lane below 65536.  Little-endian processors only.
std::uint32_t checksum_words(const std::uint8_t *buffer, std::uint32_t size)
{
    constexpr std::uint64_t bytes = 0x00FF00FF00FF00FFull;
    std::uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::size_t words = size / 8;
    for (std::size_t start = 0; start < words; start += 256) {
        std::size_t count = words - start < 256 ? words - start : 256;
        const std::uint8_t *p = buffer + 8 * start;
        std::uint64_t even = 0, odd = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t word;
            std::memcpy(&word, p + 8 * i, 8);
            even += word & bytes;
            odd += (word >> 8) & bytes;
        }
        // in a little-endian word, bytes 0, 2, 4, 6 land in the lanes of
        // `even` and bytes 1, 3, 5, 7 in those of `odd`
        s0 += std::uint32_t(even & 0xFFFF) + std::uint32_t(even >> 32 & 0xFFFF);
        s2 += std::uint32_t(even >> 16 & 0xFFFF) + std::uint32_t(even >> 48);
        s1 += std::uint32_t(odd & 0xFFFF) + std::uint32_t(odd >> 32 & 0xFFFF);
        s3 += std::uint32_t(odd >> 16 & 0xFFFF) + std::uint32_t(odd >> 48);
    }
    std::uint32_t sum = (s0 << 24) + (s1 << 16) + (s2 << 8) + s3;
    for (std::uint32_t offset = std::uint32_t(words * 8); offset < size; offset += 4)
        sum += get_long(buffer, offset);  // a last long that fills no word
    return sum;
}

}  // namespace

bool select_kernel_path(KernelPath path)
{
    switch (path) {
    case Avx2Path:
        if (!cpu_has_avx2())
            return false;
        break;
    case WordPath:
        if (std::endian::native != std::endian::little)
            return false;
        break;
    case PlainPath: break;
    case BestPath: chosen_path = -1; return true;
    }
    chosen_path = path;
    return true;
}

bool all_zero(const std::uint8_t *bytes, std::size_t count)
{
#if defined(__x86_64__)
    if (kernel_path() == Avx2Path)
        return zero_avx2(bytes, count);
#endif
    static const std::uint8_t zero_block[max_block_size] = {};
    return std::memcmp(bytes, zero_block, count) == 0;
}

std::uint32_t block_checksum(const std::uint8_t *buffer)
{
    std::uint32_t size = volume.block_size;
    switch (kernel_path()) {
#if defined(__x86_64__)
    case Avx2Path:
        if (size % 128 == 0)
            return checksum_avx2(buffer, size);
        break;
#endif
    case WordPath: return checksum_words(buffer, size);
    default: break;
    }
    return checksum_plain(buffer, size);
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
    reporter().flush();
    stray_lines += 1;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void log_error(const char *format, ...)
{
    reporter().flush();
    stray_lines += 1;
    std::printf("%s: ", program_name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}
