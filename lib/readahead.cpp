// Read-ahead: the kernel is asked for blocks before the walk reads them, so
// that on a device where every read that misses the page cache is a round
// trip, many of those trips are under way at once.  Nothing that is printed
// or written depends on it: the walk still reads every block itself, in its
// own order, and reports its own failures; a hint that fails is forgotten.
//
// The walk's reads are not all known up front: a directory's chains, its
// subdirectories' tables and a file's extension chain are found only in the
// blocks before them.  So a look-ahead runs in front of the walk.  Every block
// that it learns of is hinted at once and queued; the oldest hint is looked
// at with a read that never waits for the device, and once it has arrived
// its pointers are learnt, hinted and queued in turn.  The hints are answered
// about in the order they were sent, so an oldest one that has not arrived
// ends the look-ahead's turn until the walk's next read.  While the walk's
// next block is on its way, the look-ahead takes a turn every 50 us, and the
// walk reads the block once it has arrived.
//
// A look costs a system call, so the look-ahead runs only once the reads have
// been seen to go to the device (the process's count of block input
// operations grows); on a warm cache it stays off.  Started late, it is told
// where the walk stands.  Once the count stays still over `sample_every` of
// the walk's reads, everything it asked for was in the cache already: it
// stands down, and the reads are mapped again, until the count grows again.
// It keeps at most 16 MiB of blocks hinted ahead of
// the walk: they wait in the kernel's page cache, which may drop them again;
// past that, directories wait with their tables unread.  Its own memory is
// the queue of `capacity` blocks, the ring of `probe_room` watched requests
// and the ring of `dir_capacity` waiting directories (704 KiB).
//
// A card reader has a latency for every request and a bandwidth that every
// byte shares.  Once the look-ahead runs, the descriptor reads at random
// (POSIX_FADV_RANDOM), so that the kernel's own read-ahead window no longer
// brings in the file data around each header; the look-ahead asks for the
// blocks it needs, joined into one request only across gaps that cost the
// device less than a request does, as measured on the run's own requests.
#include "volume.h"

#if READAHEAD

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Pending {
    std::uint32_t block;
    AheadKind kind;
};

constexpr std::uint32_t capacity = 65536;  // blocks in the queue (a power of two)
constexpr std::uint64_t window_bytes = 16 << 20;  // of blocks hinted ahead of the walk
constexpr std::uint32_t looks_per_read = 256;
constexpr std::uint32_t patience = 20000;  // turns that the oldest hint may take (about 1 s)
constexpr std::uint32_t batch_room = 256;
constexpr std::uint32_t sample_every = 1024;  // walk reads between looks at the input count
constexpr long wait_pause_ns = 50000;       // between looks at a block that the walk waits for
constexpr std::uint32_t wait_turns = 2000;  // 100 ms

Pending *queue;           // a ring: [oldest, newest) holds the hinted blocks
std::uint64_t oldest, newest;
// directories whose tables wait for room in the window: a ring of block
// numbers, [first_dir, last_dir), in the queue's memory after its blocks
constexpr std::uint32_t dir_capacity = 16384;
std::uint32_t *dirs;
std::uint64_t first_dir, last_dir;
std::int64_t ahead;       // blocks hinted by the look-ahead less the walk's reads since
std::uint32_t waited;     // turns that the oldest hint has not arrived
std::uint32_t walk_block; // the block that the walk reads next
std::uint32_t batch[batch_room];
std::uint32_t batched;
std::uint32_t until_sample;
long input_seen;          // the process's block input operations when last looked
bool started, running, stopped;
alignas(4) std::uint8_t look_buffer[max_block_size];

long input_operations()
{
    rusage usage;
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_inblock : 0;
}

// The device, measured as the run goes.  A hint sent for a range of pages
// is one request, and each one is watched until its last block arrives.
// While requests are waiting, the device is busy, and the time between their
// arrivals is what they cost it: a part for each request (its latency, over
// the number of requests the device serves at once) and a part for each byte
// (over its bytes per second).  The two are told apart by the requests' sizes:
// the time of each run of `per_window` arrivals against its bytes, fitted by
// a line over the recent runs.  Two needed blocks join into one request when
// the pages between them cost the device no more than one request does.  On
// a device whose bandwidth is the limit, joins shrink to neighbouring pages;
// on one whose requests are the limit, they grow, up to 128 KiB.
struct Probe {
    std::uint64_t sent_ns;
    std::uint32_t last;   // the range's last block: the one looked at
    std::uint32_t bytes;
};
struct Window {
    double per_request_ns;  // the run's time over its requests
    double bytes;           // their mean size
};
constexpr std::uint32_t probe_room = 8192;  // requests watched at once
constexpr std::uint32_t per_window = 32;    // arrivals in one run
constexpr std::uint32_t window_room = 32;   // recent runs in the fit
constexpr std::uint32_t min_windows = 8;    // runs before the first fit
constexpr std::uint64_t max_gap_bytes = 128 << 10;
// until the first fit: a page between two needed ones, so that the requests'
// sizes vary from the start and the fit can tell their parts apart
constexpr std::uint64_t first_gap_bytes = 4096;
constexpr std::uint64_t lost_ns = 1000000000u;  // a request this old was lost

Probe *probes;  // a ring: [first_probe, next_probe), after the directories' ring
std::uint64_t first_probe, next_probe;
std::uint64_t window_start_ns;  // 0: the device was idle, the next arrival starts a run
std::uint32_t window_count;
std::uint64_t window_bytes_sum;
Window windows[window_room];
std::uint64_t windows_seen;
std::uint64_t gap_bytes = first_gap_bytes;
bool resent;  // the batch asks again for blocks already asked for: not watched

std::uint64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * 1000000000u + std::uint64_t(t.tv_nsec);
}

// time per request = a + b * mean bytes, by least squares over the recent
// runs: the gap is a / b, the bytes that cost what a request costs
void choose_gap()
{
    std::uint32_t count = windows_seen < window_room ? std::uint32_t(windows_seen) : window_room;
    if (count < min_windows)
        return;
    double mean_x = 0, mean_y = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        mean_x += windows[i].bytes;
        mean_y += windows[i].per_request_ns;
    }
    mean_x /= count;
    mean_y /= count;
    double sxx = 0, sxy = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        double dx = windows[i].bytes - mean_x;
        sxx += dx * dx;
        sxy += dx * (windows[i].per_request_ns - mean_y);
    }
    // sizes that hardly vary tell nothing about the bytes' part
    if (sxx < 1024.0 * 1024.0 * count)
        return;
    double per_byte = sxy / sxx;
    double per_request = mean_y - per_byte * mean_x;
    if (per_byte <= 0)
        gap_bytes = max_gap_bytes;  // bytes cost nothing that can be seen
    else if (per_request <= 0)
        gap_bytes = 0;
    else
        gap_bytes = std::min<std::uint64_t>(std::uint64_t(per_request / per_byte), max_gap_bytes);
}

// A watched request has arrived at `now`
void arrived(std::uint64_t now, std::uint32_t bytes)
{
    if (window_start_ns == 0) {
        window_start_ns = now;
        return;
    }
    window_count += 1;
    window_bytes_sum += bytes;
    if (window_count == per_window) {
        windows[windows_seen++ % window_room] = {double(now - window_start_ns) / per_window,
                                                 double(window_bytes_sum) / per_window};
        window_start_ns = now;
        window_count = 0;
        window_bytes_sum = 0;
        choose_gap();
    }
}

// The device fell idle: the time until its next arrival is no cost of it
void idle()
{
    window_start_ns = 0;
    window_count = 0;
    window_bytes_sum = 0;
}

void time_request(std::uint64_t sent, std::uint32_t last, std::uint64_t bytes)
{
    if (!running || !probes || resent || next_probe - first_probe == probe_room)
        return;
    probes[next_probe++ % probe_room] = {sent, last, std::uint32_t(std::min<std::uint64_t>(bytes, UINT32_MAX))};
}

std::uint64_t page_size;

// The hints of the batch, sorted, as ranges of whole pages (the page cache
// reads no less) joined across gaps of at most gap_bytes
void send_batch()
{
    std::sort(batch, batch + batched);
    if (page_size == 0) {
        long size = sysconf(_SC_PAGESIZE);
        page_size = size > 0 ? std::uint64_t(size) : 4096;
    }
    std::uint64_t gap_pages = gap_bytes / page_size;
    auto page_of = [](std::uint64_t block) {
        return (volume.partition_offset + (block << volume.block_shift)) / page_size;
    };
    for (std::uint32_t i = 0; i < batched;) {
        std::uint64_t first = batch[i], last = batch[i];
        for (++i; i < batched && page_of(batch[i]) <= page_of(last) + 1 + gap_pages; ++i)
            last = batch[i];
        std::uint64_t offset = volume.partition_offset + (first << volume.block_shift);
        std::uint64_t length = (last - first + 1) << volume.block_shift;
        std::uint64_t sent = now_ns();
        posix_fadvise(volume.fd, off_t(offset), off_t(length), POSIX_FADV_WILLNEED);
        time_request(sent, std::uint32_t(last), length);
    }
    batched = 0;
    resent = false;
}

// The kernel's own read-ahead window would bring in the data blocks around
// every header that the walk reads: the look-ahead asks for what is needed.
void take_over_reading()
{
    // the reads go to the device: one pread each, hinted, never a fault
    pause_mapped_reads();
    posix_fadvise(volume.fd, 0, 0, POSIX_FADV_RANDOM);
}

// What the look-ahead follows: its queue, waiting directories, watched
// requests and unsent hints, all forgotten.
void forget_followed()
{
    oldest = newest = 0;
    first_dir = last_dir = 0;
    first_probe = next_probe = 0;
    idle();
    batched = 0;
    resent = false;
    ahead = 0;
    waited = 0;
}

// The reads no longer go to the device: the look-ahead forgets what it was
// following and waits, as before it started, for the count to grow.
void stand_down(long now)
{
    running = false;
    forget_followed();
    input_seen = now;
    posix_fadvise(volume.fd, 0, 0, POSIX_FADV_NORMAL);
    resume_mapped_reads();
}

}  // namespace

bool read_ahead_eager;

void read_ahead(std::uint32_t block)
{
    // blocks that the walk would refuse to read are not asked for either
    if (block < volume.reserved_blocks || block >= volume.total_blocks)
        return;
    if (batched == batch_room)
        send_batch();
    batch[batched++] = block;
}

void read_ahead_table(const std::uint8_t *table, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i)
        read_ahead(get_long(table, 4 * i));
    send_batch();
}

void read_ahead_follow(std::uint32_t block, AheadKind kind)
{
    if (!running || block < volume.reserved_blocks || block >= volume.total_blocks || block_walked(block))
        return;
    if (newest - oldest == capacity)
        return;  // the newest is the farthest: it waits for the walk
    queue[newest++ % capacity] = {block, kind};
    read_ahead(block);
    ahead += 1;
}

namespace {

std::int64_t window() { return std::int64_t(window_bytes >> volume.block_shift); }

void follow_table(const std::uint8_t *header)
{
    std::uint32_t slots = hash_slots();
    for (std::uint32_t slot = 0; slot < slots; ++slot)
        read_ahead_follow(table_entry(header, slot), AheadKind::Entry);
}

// The block's pointers, in the order that the walk follows them: a
// directory's cache chain, its table from the first slot, then the next entry
// of its chain; a file's extension chain, then the next entry.
void take_pointers(std::uint32_t number, const std::uint8_t *block, AheadKind kind)
{
    if (kind == AheadKind::Cache) {
        read_ahead_follow(get_long(block, field::dircache_next), AheadKind::Cache);
        return;
    }
    std::uint32_t extension = get_tail(block, field::extension);
    if (kind == AheadKind::Extension) {
        read_ahead_follow(extension, AheadKind::Extension);
        return;
    }
    if (get_long(block, field::type) != header_type)
        return;
    std::int32_t secondary = std::int32_t(get_tail(block, field::secondary_type));
    if (secondary != Dir && secondary != File && secondary != SoftLink && secondary != LinkDir &&
        secondary != FileLink)
        return;
    if (secondary == File) {
        read_ahead_follow(extension, AheadKind::Extension);
    } else if (secondary == Dir) {
        if (volume.variant & DirCache)
            read_ahead_follow(extension, AheadKind::Cache);
        // a table multiplies what is hinted: one past the window waits
        if (ahead < window())
            follow_table(block);
        else if (last_dir - first_dir < dir_capacity)
            dirs[last_dir++ % dir_capacity] = number;
    }
    read_ahead_follow(get_tail(block, field::next_hash), AheadKind::Entry);
}

enum Look { Arrived, Waiting, Never };

// Arrived when the block was in the page cache and is now in look_buffer;
// Never for a block that ends early (past the end of an image file)
Look look(std::uint32_t block)
{
    iovec part = {look_buffer, volume.block_size};
    off_t offset = off_t(volume.partition_offset + (std::uint64_t(block) << volume.block_shift));
    ssize_t count = preadv2(volume.fd, &part, 1, offset, RWF_NOWAIT);
    if (count == ssize_t(volume.block_size))
        return Arrived;
    if (count >= 0)
        return Never;
    // a device or kernel that cannot tell: the look-ahead stops for good
    if (errno != EAGAIN)
        stopped = true;
    return Waiting;
}

}  // namespace

bool read_ahead_start()
{
    if (started)
        return false;
    started = true;
    queue = static_cast<Pending *>(std::malloc(capacity * sizeof(Pending) + probe_room * sizeof(Probe) +
                                               dir_capacity * sizeof(std::uint32_t)));
    if (!queue)
        return false;
    probes = reinterpret_cast<Probe *>(queue + capacity);
    dirs = reinterpret_cast<std::uint32_t *>(probes + probe_room);
    input_seen = input_operations();
    // the root block search and the bitmap went to the device: so will the walk
    running = read_ahead_eager || input_seen > 0;
    until_sample = sample_every;
    if (running)
        take_over_reading();
    return running;
}

bool read_ahead_waking()
{
    if (!queue || running)
        return false;
    if (--until_sample != 0)
        return false;
    until_sample = sample_every;
    long now = input_operations();
    if (now == input_seen)
        return false;
    input_seen = now;
    running = true;
    take_over_reading();
    return true;
}

namespace {

// The watched requests that have arrived, oldest first
void time_arrivals()
{
    std::uint64_t now = 0;
    while (first_probe != next_probe && !stopped) {
        const Probe &probe = probes[first_probe % probe_room];
        Look seen = look(probe.last);
        if (now == 0)
            now = now_ns();
        if (seen == Waiting) {
            if (now - probe.sent_ns < lost_ns)
                return;
            idle();  // lost, or it left the cache: the runs start afresh
        } else if (seen == Arrived) {
            arrived(now, probe.bytes);
        }
        first_probe += 1;
    }
    idle();
}

// The look-ahead's turn: the oldest hints that have arrived are looked at.
void take_turn()
{
    time_arrivals();
    // directories that waited, as the window makes room: their headers were
    // looked at before, so they are in the cache unless they left it
    while (first_dir != last_dir && ahead < window() && !stopped) {
        std::uint32_t dir = dirs[first_dir % dir_capacity];
        Look seen = look(dir);
        if (seen == Arrived) {
            follow_table(look_buffer);
        } else if (seen == Waiting && (dir == walk_block || !block_walked(dir))) {
            resent = true;
            read_ahead(dir);
            break;
        }
        first_dir += 1;
    }
    for (std::uint32_t n = 0; n < looks_per_read && oldest != newest && !stopped; ++n) {
        Pending next = queue[oldest % capacity];
        Look seen = look(next.block);
        if (seen != Arrived) {
            // one that the walk has read, or that takes far too long, failed
            // or left the cache: it is passed over
            if (seen == Waiting && (next.block == walk_block || !block_walked(next.block)) &&
                ++waited < patience) {
                // a hint that the device's queue had no room for is lost
                if (waited % 64 == 0) {
                    resent = true;
                    read_ahead(next.block);
                }
                break;
            }
            oldest += 1;
            waited = 0;
            continue;
        }
        oldest += 1;
        waited = 0;
        take_pointers(next.block, look_buffer, next.kind);
    }
    send_batch();
}

}  // namespace

void read_ahead_step(std::uint32_t block)
{
    if (!running)
        return;
    if (--until_sample == 0) {
        until_sample = sample_every;
        long now = input_operations();
        if (now == input_seen) {
            stand_down(now);
            return;
        }
        input_seen = now;
    }
    ahead -= 1;
    // the walk records a block as visited before it reads it
    walk_block = block;
    take_turn();
    if (block < volume.reserved_blocks || block >= volume.total_blocks || stopped)
        return;
    // While the walk's block is on its way, the look-ahead keeps taking turns,
    // so that what arrives meanwhile is followed at once, and only then does
    // the walk read it.  The block is asked for first, in case nothing did;
    // a block that takes too long is left to the walk's own read.
    if (look(block) != Waiting)
        return;
    resent = true;
    read_ahead(block);
    send_batch();
    for (std::uint32_t turn = 0; turn < wait_turns && look(block) == Waiting && !stopped; ++turn) {
        if (turn % 16 == 15) {
            resent = true;
            read_ahead(block);
        }
        timespec pause = {0, wait_pause_ns};
        nanosleep(&pause, nullptr);
        take_turn();
    }
}

void read_ahead_end()
{
    // the descriptor reads as before for the writes and a later walk
    if (running)
        posix_fadvise(volume.fd, 0, 0, POSIX_FADV_NORMAL);
    std::free(queue);
    queue = nullptr;
    started = running = stopped = false;
    probes = nullptr;
    forget_followed();
    windows_seen = 0;
    gap_bytes = first_gap_bytes;
}

#endif
