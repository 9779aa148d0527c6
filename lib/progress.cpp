// Progress of the walk: lines for a program that draws it (-C FD) and a bar
// on a terminal.  The walk reports every 1/1024 of the blocks in use; time is
// looked at only then, and lines go out at most ten a second.
#include "internal.h"
#include "outcome.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

constexpr std::uint64_t tenth = 100000000, second = 1000000000;

std::uint64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * second + std::uint64_t(t.tv_nsec);
}

void write_all(int fd, const std::string &text)
{
    const char *p = text.data();
    std::size_t left = text.size();
    while (left != 0) {
        ssize_t n = write(fd, p, left);
        if (n <= 0)
            return;  // a reader that went away does not stop the check
        p += n;
        left -= std::size_t(n);
    }
}

}  // namespace

std::string progress_bar(std::uint64_t done, std::uint64_t total, double seconds, std::size_t width)
{
    if (done > total)
        done = total;
    unsigned permille = total ? unsigned(done * 1000 / total) : 1000;
    char tail[96];
    int n = std::snprintf(tail, sizeof tail, " %3u.%u%% %llu/%llu blocks %02u:%02u", permille / 10, permille % 10,
                          (unsigned long long)done, (unsigned long long)total, unsigned(seconds) / 60,
                          unsigned(seconds) % 60);
    std::size_t room = width > std::size_t(n) + 3 ? width - std::size_t(n) - 3 : 0;
    if (room > 50)
        room = 50;
    std::string bar = "[";
    std::size_t filled = room * permille / 1000;
    bar.append(filled, '#');
    bar.append(room - filled, '-');
    bar += "]";
    bar += tail;
    return bar;
}

// e2fsck's progress line: pass, done, out of, device; appended piece by
// piece (g++ 12 at -O3 warns of an overlapping copy for "1 " + a string)
std::string Progress::progress_line(std::uint64_t count, std::uint64_t out_of) const
{
    std::string line = "1 ";
    line += std::to_string(count);
    line += ' ';
    line += std::to_string(out_of);
    line += ' ';
    line += device;
    line += '\n';
    return line;
}

void Progress::begin()
{
    start_ns = now_ns();
    last_line_ns = last_bar_ns = 0;
    bar_shown = false;
}

void Progress::update(std::uint64_t now_done, std::uint64_t now_total)
{
    // a bitmap that marks too few blocks in use must not take the count past its end
    total = now_total;
    done = now_done < now_total ? now_done : now_total;
    std::uint64_t now = now_ns();
    if (fd >= 0 && (last_line_ns == 0 || now - last_line_ns >= tenth)) {
        last_line_ns = now;
        write_all(fd, progress_line(done, total));
    }
    if (bar && now - start_ns >= second && (last_bar_ns == 0 || now - last_bar_ns >= tenth)) {
        last_bar_ns = now;
        bar_shown = true;
        std::string text = "\r";
        text += progress_bar(done, total, double(now - start_ns) / 1e9, 79);
        text += "\033[K";
        write_all(STDERR_FILENO, text);
    }
}

void Progress::hide()
{
    if (bar_shown)
        write_all(STDERR_FILENO, "\r\033[K");
    bar_shown = false;
    last_bar_ns = 0;
}

void Progress::end(bool completed)
{
    hide();
    if (fd >= 0 && completed && total != 0)
        write_all(fd, progress_line(total, total));
    fd = -1;
    bar = false;
}
