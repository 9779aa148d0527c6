// A test-only library, loaded with LD_PRELOAD, that ends the process at its
// k-th positioned write (k from STOP_AT_WRITE), before that write, with exit
// status 99: a run cut off at any point, as by a crash.  Without the
// variable it changes nothing.
#include <cstdlib>
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using WriteCall = ssize_t (*)(int, const void *, size_t, off_t);

void count_write()
{
    static long count = 0;
    static const char *stop = std::getenv("STOP_AT_WRITE");
    if (stop && ++count >= std::atol(stop))
        _exit(99);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset)
{
    count_write();
    static auto next = reinterpret_cast<WriteCall>(dlsym(RTLD_NEXT, "pwrite"));
    return next(fd, buffer, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void *buffer, size_t count, off_t offset)
{
    count_write();
    static auto next = reinterpret_cast<WriteCall>(dlsym(RTLD_NEXT, "pwrite64"));
    return next(fd, buffer, count, offset);
}
