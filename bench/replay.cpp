// replay: the reads of a run, replayed without the run's dependencies.
//
//   replay [-d] THREADS DEVICE < TRACE
//
// TRACE is the output of `floor check --trace` ("R offset size" per line;
// writes are ignored).  Each of THREADS threads takes the next read of the
// list and performs it with one positioned read of the same size at the same
// offset, through the page cache as the tools read, so that THREADS reads are
// in flight at once.  With one thread this is the run's floor on a device
// whose every read is a round trip; with 32 it is what the device gives when
// the reads are known up front.  With -d the reads are direct (O_DIRECT):
// each one moves exactly its own bytes, whatever the device's read-ahead
// window, which makes the floor of a device whose bandwidth is limited.
// Prints the wall time in seconds.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct Read {
    std::uint64_t offset;
    std::uint32_t size;
};

std::vector<Read> reads;
std::atomic<std::size_t> next_read{0};
std::atomic<bool> failed{false};
int fd = -1;

void worker()
{
    alignas(4096) char buffer[4096];
    for (;;) {
        std::size_t i = next_read.fetch_add(1);
        if (i >= reads.size())
            return;
        const Read &r = reads[i];
        if (r.size > sizeof buffer || pread(fd, buffer, r.size, off_t(r.offset)) != ssize_t(r.size))
            failed = true;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int flags = O_RDONLY;
    if (argc == 4 && std::string_view(argv[1]) == "-d") {
        flags |= O_DIRECT;
        ++argv;
        --argc;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: replay [-d] THREADS DEVICE < TRACE\n");
        return 2;
    }
    int threads = std::atoi(argv[1]);
    if (threads < 1 || threads > 1024) {
        std::fprintf(stderr, "replay: THREADS is 1 to 1024\n");
        return 2;
    }
    char op;
    unsigned long long offset;
    unsigned size;
    while (std::scanf(" %c %llu %u", &op, &offset, &size) == 3)
        if (op == 'R')
            reads.push_back({offset, size});
    fd = open(argv[2], flags);
    if (fd < 0) {
        std::perror("replay: open");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    for (auto &t : pool)
        t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed) {
        std::fprintf(stderr, "replay: a read failed\n");
        return 1;
    }
    std::printf("%.3f %zu\n", seconds, reads.size());
    return 0;
}
