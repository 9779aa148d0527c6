// A fault injector for the end-to-end tests, loaded with LD_PRELOAD into the
// real programs; never linked into them.  It takes the place of the block
// writes and the flushes:
//
//   FAULT_PWRITE=kill:K   the process is killed (SIGKILL) at the K-th pwrite,
//                         before it writes: writes 1 .. K-1 are done
//   FAULT_PWRITE=eio:K    the K-th pwrite fails with EIO, later ones succeed
//   FAULT_FLUSH=eio:K     the K-th fdatasync or fsync fails with EIO
//   FAULT_PREAD=eio:K     the K-th pread fails with EIO
//   FIXED_TIME=N          time() gives N
//   FAULT_COUNTS=FILE     at exit, "pwrite N flush M" (the calls made) is
//                         written to FILE
//   SLOW_PREAD=MS         every pread waits MS milliseconds first (a slow device)
//   SLOW_PWRITE=MS        every pwrite waits MS milliseconds first
//
//   NO_MAP=1              a mapping of a file is refused (ENODEV), so that the
//                         programs read the image by pread; FAULT_PREAD and
//                         SLOW_PREAD imply it, so that they strike
//
// Every other call goes straight to the system call.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ctime>
#include <sys/types.h>
#include <unistd.h>

namespace {

struct Fault {
    bool kill = false;
    long at = 0;  // 0: never
    long count = 0;
};

Fault parse(const char *name)
{
    Fault fault;
    const char *text = std::getenv(name);
    if (!text)
        return fault;
    if (std::strncmp(text, "kill:", 5) == 0) {
        fault.kill = true;
        fault.at = std::strtol(text + 5, nullptr, 10);
    } else if (std::strncmp(text, "eio:", 4) == 0) {
        fault.at = std::strtol(text + 4, nullptr, 10);
    }
    return fault;
}

// true when this call is the one to fail (after a kill there is none)
bool strikes(Fault &fault)
{
    if (++fault.count != fault.at)
        return false;
    if (fault.kill)
        raise(SIGKILL);
    errno = EIO;
    return true;
}

Fault &write_fault()
{
    static Fault fault = parse("FAULT_PWRITE");
    return fault;
}

Fault &flush_fault()
{
    static Fault fault = parse("FAULT_FLUSH");
    return fault;
}

void wait_for(const char *name)
{
    const char *text = std::getenv(name);
    long ms = text ? std::strtol(text, nullptr, 10) : 0;
    if (ms > 0) {
        timespec pause = {ms / 1000, (ms % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

Fault &read_fault()
{
    static Fault fault = parse("FAULT_PREAD");
    return fault;
}

ssize_t positioned_read(int fd, void *buffer, size_t count, off_t offset)
{
    wait_for("SLOW_PREAD");
    if (strikes(read_fault()))
        return -1;
    return syscall(SYS_pread64, fd, buffer, count, offset);
}

ssize_t positioned_write(int fd, const void *buffer, size_t count, off_t offset)
{
    wait_for("SLOW_PWRITE");
    if (strikes(write_fault()))
        return -1;
    return syscall(SYS_pwrite64, fd, buffer, count, offset);
}

bool reads_struck()
{
    static bool struck = std::getenv("FAULT_PREAD") || std::getenv("SLOW_PREAD") || std::getenv("NO_MAP");
    return struck;
}

void *map(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if (fd >= 0 && reads_struck()) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return reinterpret_cast<void *>(syscall(SYS_mmap, address, length, protection, flags, fd, offset));
}

int flush(long call, int fd)
{
    if (strikes(flush_fault()))
        return -1;
    return int(syscall(call, fd));
}

}  // namespace

__attribute__((destructor)) void write_counts()
{
    const char *path = std::getenv("FAULT_COUNTS");
    if (!path)
        return;
    if (FILE *file = std::fopen(path, "w")) {
        std::fprintf(file, "pwrite %ld flush %ld\n", write_fault().count, flush_fault().count);
        std::fclose(file);
    }
}

extern "C" {

ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset)
{
    return positioned_write(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void *buffer, size_t count, off_t offset)
{
    return positioned_write(fd, buffer, count, offset);
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    return map(address, length, protection, flags, fd, offset);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    return map(address, length, protection, flags, fd, offset);
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset) { return positioned_read(fd, buffer, count, offset); }

ssize_t pread64(int fd, void *buffer, size_t count, off_t offset) { return positioned_read(fd, buffer, count, offset); }

int fdatasync(int fd) { return flush(SYS_fdatasync, fd); }

// FIXED_TIME=N: the clock stands at N seconds (for runs that must write the
// same dates)
time_t time(time_t *at)
{
    const char *fixed = std::getenv("FIXED_TIME");
    time_t now = fixed ? time_t(std::strtoll(fixed, nullptr, 10)) : time_t(syscall(SYS_time, nullptr));
    if (at)
        *at = now;
    return now;
}

int fsync(int fd) { return flush(SYS_fsync, fd); }
}
