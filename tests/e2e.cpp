#include "e2e.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {
namespace {

// The folder lives as long as the process: its path is never destroyed, so
// the clean-up at exit can still use it.
const std::string &scratch_dir()
{
    static const std::string &dir = *[] {
        char pattern[] = "/tmp/vistrel-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made)
            std::abort();
        auto *path = new std::string(made);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return path;
    }();
    return dir;
}

}  // namespace

Run run(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        // no terminal on standard input: nothing waits for an answer
        int none = open("/dev/null", O_RDONLY);
        if (none >= 0)
            dup2(none, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        setenv("TZ", "UTC", 1);
        setenv("LC_ALL", "C", 1);
        for (const std::string &pair : env)
            putenv(const_cast<char *>(pair.c_str()));
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Run result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, std::size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

namespace {

// true when every stretch of data of `a` reads the same in `b`: holes and
// written zeros count alike (a sparse copy turns the one into the other)
bool covered_by(const std::string &a, const std::string &b)
{
    for (const auto &[offset, bytes] : sparse_data(a))
        if (read_range(b, offset, bytes.size()) != bytes)
            return false;
    return true;
}

}  // namespace

Run compared_with_reference(const char *variable, const std::string &program, const std::vector<std::string> &args)
{
    const char *reference = std::getenv(variable);
    if (!reference || !*reference)
        return run(program, args);
    // the options of the reports are newer than any reference
    for (const std::string &a : args)
        if (a == "--json" || a == "--summary" || a == "--exit-codes" || a == "--paths" || a == "-q" ||
            a.compare(0, 2, "-C") == 0 || a.compare(0, 10, "--progress") == 0)
            return run(program, args);
    // undo files are made by the first run and refused by the second
    for (const std::string &a : args)
        if (a == "-z" || a.compare(0, 3, "--u") == 0 || a.compare(0, 5, "--res") == 0)
            return run(program, args);
    std::vector<std::string> images;
    for (const std::string &a : args) {
        struct stat status;
        if (a.empty() || a[0] != '/' || stat(a.c_str(), &status) != 0)
            continue;
        if (S_ISREG(status.st_mode))
            images.push_back(a);
        else if (asks_for_write(args) || std::string(variable) == "REFERENCE_PLANDOR")
            return run(program, args);  // a device written to cannot be put back
    }
    auto copy = [](const std::string &from, const std::string &to) {
        // holes stay holes and written zeros stay written
        Run c = run("/bin/cp", {"--sparse=auto", from, to});
        EXPECT_EQ(c.status, 0) << c.err;
    };
    // runs that write nothing are made one after the other on the images as they are
    if (std::string(variable) == "REFERENCE_VISTREL" && !asks_for_write(args))
        images.clear();
    for (const std::string &image : images)
        copy(image, image + ".before");
    // the formatter's dates come from the clock: both runs see one time
    std::vector<std::string> env;
    if (std::string(variable) == "REFERENCE_PLANDOR") {
        env = {"LD_PRELOAD=" FAULT_SHIM_PATH, std::string("FIXED_TIME=")};
        env.back() += std::to_string(std::time(nullptr));
    }
    Run old = run(reference, args, env);
    for (const std::string &image : images) {
        copy(image, image + ".reference");
        copy(image + ".before", image);
    }
    Run result = run(program, args, env);
    EXPECT_EQ(old.out, result.out) << "the output differs from the reference build's";
    EXPECT_EQ(old.err, result.err) << "standard error differs from the reference build's";
    EXPECT_EQ(old.status, result.status) << "the status differs from the reference build's";
    for (const std::string &image : images) {
        EXPECT_TRUE(covered_by(image, image + ".reference") && covered_by(image + ".reference", image))
            << image << " differs";
        unlink((image + ".before").c_str());
        unlink((image + ".reference").c_str());
    }
    return result;
}

bool asks_for_write(const std::vector<std::string> &args)
{
    for (const std::string &a : args) {
        // long names, also shortened as argp takes them
        if (a.size() > 2 && a.compare(0, 2, "--") == 0 &&
            (std::string("--write").compare(0, a.size(), a) == 0 || std::string("--clear").compare(0, a.size(), a) == 0))
            return true;
        if (a.size() > 1 && a[0] == '-' && a[1] != '-' && a.find_first_of("cw") != std::string::npos)
            return true;
        // --restore=FILE or --restore FILE, also shortened down to --rest
        std::string name = a.substr(0, a.find('='));
        if (name.size() >= 6 && std::string("--restore").compare(0, name.size(), name) == 0)
            return true;
        if (name.size() >= 5 && std::string("--repair").compare(0, name.size(), name) == 0)
            return true;
    }
    return false;
}

void evict_images(const std::vector<std::string> &args)
{
    for (const std::string &a : args) {
        struct stat status;
        if (a.empty() || a[0] != '/' || stat(a.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        int fd = open(a.c_str(), O_RDONLY);
        if (fd < 0)
            continue;
        // written pages leave the cache only once they are on the disk
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

std::string temp_path(const std::string &name)
{
    static int counter = 0;
    return scratch_dir() + "/" + std::to_string(++counter) + "-" + name;
}

std::string sparse_image(const std::string &name, std::uint64_t bytes)
{
    std::string path = temp_path(name);
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0)
        std::abort();
    close(fd);
    return path;
}

std::vector<std::uint8_t> read_range(const std::string &path, std::uint64_t offset, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return {};
    ssize_t n = pread(fd, bytes.data(), count, off_t(offset));
    close(fd);
    bytes.resize(n > 0 ? std::size_t(n) : 0);
    return bytes;
}

std::vector<std::uint8_t> read_file(const std::string &path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return {};
    return read_range(path, 0, std::size_t(status.st_size));
}

std::uint32_t read_be32(const std::string &path, std::uint64_t offset)
{
    std::vector<std::uint8_t> b = read_range(path, offset, 4);
    if (b.size() != 4)
        return 0;
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
}

bool exists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> sparse_data(const std::string &path)
{
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> stretches;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return stretches;
    for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0; at = lseek(fd, at, SEEK_DATA)) {
        off_t hole = lseek(fd, at, SEEK_HOLE);
        std::vector<std::uint8_t> bytes(std::size_t(hole - at));
        if (pread(fd, bytes.data(), bytes.size(), at) != ssize_t(bytes.size()))
            break;
        stretches.emplace_back(std::uint64_t(at), std::move(bytes));
        at = hole;
    }
    close(fd);
    return stretches;
}

std::string root_bitmap_reads(std::uint32_t first)
{
    std::string out;
    for (std::uint32_t i = 0; i < 25; ++i) {
        out += "read bitmap ", out += std::to_string(i), out += " : ", out += std::to_string(first + i);
        out += "\n";
    }
    return out;
}

}  // namespace e2e
