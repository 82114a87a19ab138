// Times a program as a whole process, from just before it is spawned to just
// after it has been reaped, and the moment its first line of output arrives.
//
//   bench_timer RUNS OUTPUT [SAVE] -- PROGRAM [ARGS...]
//
// OUTPUT is where the program's standard output goes:
//   pipe  a pipe read by the timer (as when the output is captured): the C
//         library buffers it fully, so the first line arrives with the rest;
//   pty   a pseudo-terminal (as when a user watches): the C library buffers it
//         by line, so the first line arrives as soon as it is printed.
// Standard error goes to the same place, standard input is /dev/null.
// SAVE, when given, receives the output of the last run.
//
// One line per run on standard output:
//   wall_ns=<spawn to reap> first_line_ns=<spawn to first newline> status=<exit>
// first_line_ns is -1 when the program printed no newline.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

extern char **environ;

namespace {

long long now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "bench_timer: %s: %s\n", what, strerror(errno));
    exit(2);
}

struct Run {
    long long wall_ns;
    long long first_line_ns;
    int status;
    std::string output;
};

Run run_once(char **argv, bool on_pty)
{
    int read_fd = -1;
    int child_fd = -1;
    std::string pty_name;
    if (on_pty) {
        read_fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (read_fd < 0 || grantpt(read_fd) != 0 || unlockpt(read_fd) != 0)
            fail("pseudo-terminal");
        pty_name = ptsname(read_fd);
    } else {
        int fds[2];
        if (pipe(fds) != 0)
            fail("pipe");
        read_fd = fds[0];
        child_fd = fds[1];
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (on_pty) {
        // A new session whose controlling terminal is the pseudo-terminal.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_addopen(&actions, 1, pty_name.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addclose(&actions, read_fd);
    } else {
        posix_spawn_file_actions_adddup2(&actions, child_fd, 1);
        posix_spawn_file_actions_adddup2(&actions, child_fd, 2);
        posix_spawn_file_actions_addclose(&actions, child_fd);
        posix_spawn_file_actions_addclose(&actions, read_fd);
    }

    Run run = {0, -1, -1, {}};
    pid_t pid;
    long long start = now_ns();
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv, environ) != 0)
        fail(argv[0]);
    if (child_fd >= 0)
        close(child_fd);

    char buffer[4096];
    for (;;) {
        ssize_t n = read(read_fd, buffer, sizeof buffer);
        if (n > 0) {
            if (run.first_line_ns < 0 && memchr(buffer, '\n', size_t(n)))
                run.first_line_ns = now_ns() - start;
            run.output.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // end of the pipe, or EIO once the terminal's last user closed it
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            fail("waitpid");
    }
    run.wall_ns = now_ns() - start;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    close(read_fd);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s RUNS pipe|pty [SAVE] -- PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    int runs = atoi(argv[1]);
    bool on_pty = strcmp(argv[2], "pty") == 0;
    if (!on_pty && strcmp(argv[2], "pipe") != 0) {
        fprintf(stderr, "bench_timer: output must be pipe or pty\n");
        return 2;
    }
    int program = 3;
    const char *save = nullptr;
    if (strcmp(argv[program], "--") != 0)
        save = argv[program++];
    if (program >= argc - 1 || strcmp(argv[program], "--") != 0) {
        fprintf(stderr, "bench_timer: missing -- PROGRAM\n");
        return 2;
    }
    char **command = argv + program + 1;

    Run run;
    for (int i = 0; i < runs; i++) {
        run = run_once(command, on_pty);
        printf("wall_ns=%lld first_line_ns=%lld status=%d\n", run.wall_ns, run.first_line_ns,
               run.status);
        fflush(stdout);
    }
    if (save) {
        FILE *f = fopen(save, "wb");
        if (!f || fwrite(run.output.data(), 1, run.output.size(), f) != run.output.size() ||
            fclose(f) != 0)
            fail(save);
    }
    return 0;
}
