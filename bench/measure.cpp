// measure: runs one program with its standard output on /dev/null and prints
// "wall_ns user_us sys_us maxrss_kib exit_status" for it.
//
//   measure PROGRAM [ARGS...]
//
// Linked statically and kept small: a child's peak resident set (ru_maxrss)
// counts the memory of the process that it was forked from, so the launcher
// must be smaller than any program that it measures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure PROGRAM [ARGS...]\n");
        return 2;
    }
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0)
            _exit(127);
        close(null);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long wall = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    long long user = usage.ru_utime.tv_sec * 1000000LL + usage.ru_utime.tv_usec;
    long long sys = usage.ru_stime.tv_sec * 1000000LL + usage.ru_stime.tv_usec;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%lld %lld %lld %ld %d\n", wall, user, sys, usage.ru_maxrss, code);
    return 0;
}
