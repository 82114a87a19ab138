// child_process.h on POSIX.
#include "child_process.h"

#include "interrupts.h"
#include "line_splitter.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace station {

std::string own_executable()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    return std::string(path, size_t(n));
}

namespace {

using Clock = std::chrono::steady_clock;

// After the kill at its limit, what is left in the pipe is read for this
// long at most: something the board started outside its group may hold it.
const auto drain_after_kill = std::chrono::seconds(2);

int remaining_ms(Clock::time_point until)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return int(std::max<long long>(0, std::min<long long>(left + 1, INT_MAX)));
}

// Reads the board's pipe to its end, then reaps the process; past limit it
// kills the board's process group first.
ChildEnd read_and_reap(pid_t pid, int read_end, const std::function<void(const std::string &line)> &on_line,
                       std::chrono::milliseconds limit)
{
    ChildEnd end;
    LineSplitter lines(on_line);
    char buffer[4096];
    bool limited = limit.count() > 0, noticed = false;
    Clock::time_point until = limited ? Clock::now() + limit : Clock::time_point::max();
    for (;;) {
        pollfd fds[2] = {{read_end, POLLIN, 0}, {interrupt_notice_fd(), POLLIN, 0}};
        nfds_t watched = !noticed && fds[1].fd >= 0 ? 2 : 1;
        int ready = poll(fds, watched, limited ? remaining_ms(until) : -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (watched == 2 && fds[1].revents != 0) {
            noticed = true; // never drained: every reader sees it once
            announce_interrupt();
        }
        // Past the limit whether or not it still prints: a soak that runs
        // on prints all the time.
        if (limited && Clock::now() >= until) {
            if (end.timed_out)
                break; // drained as long as it may be
            end.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            until = Clock::now() + drain_after_kill;
            continue;
        }
        if (fds[0].revents == 0)
            continue;
        ssize_t got = read(read_end, buffer, sizeof buffer);
        if (got > 0)
            lines.add(buffer, size_t(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    lines.finish();
    close(read_end);
    unregister_child(pid); // still ours until reaped, so never another's pid
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        end.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
        end.exit_status = 128 + end.signal;
    }
    return end;
}

// Known to the handler that passes interrupts on; one that came before it
// knew of this board is passed on here.
void register_as_board(pid_t pid)
{
    register_child(pid);
    if (interrupted())
        kill(-pid, SIGINT);
}

} // namespace

std::string signal_name(int signal)
{
    const char *abbrev = sigabbrev_np(signal);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(signal);
}

ChildEnd run_child(const std::string &program, const std::vector<std::string> &args,
                   const std::function<void(const std::string &line)> &on_line, std::chrono::milliseconds limit)
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    // A group of its own, the station's ignored SIGPIPE undone, and the
    // interrupts held until the board has its own handlers: a SIGTERM sent
    // to every process (systemd's stop) must not end a board just started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, held = interrupt_signals();
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &held);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    if (failed == 0)
        register_as_board(pid);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipe_ends[1]);
    if (failed != 0) {
        close(pipe_ends[0]);
        return {};
    }
    return read_and_reap(pid, pipe_ends[0], on_line, limit);
}

ChildEnd run_forked(const std::function<int()> &board_test,
                    const std::function<void(const std::string &line)> &on_line, std::chrono::milliseconds limit)
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0)
        return {};
    // Whatever this process has buffered is its own: the copy starts empty.
    fflush(nullptr);
    // An interrupt is held until the copy is known to the handler that passes
    // it on, and until the copy has the board's own handlers.
    sigset_t interrupts = interrupt_signals(), before;
    sigprocmask(SIG_BLOCK, &interrupts, &before);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int no_input = open("/dev/null", O_RDONLY);
        if (no_input < 0 || dup2(no_input, 0) < 0 || dup2(pipe_ends[1], 1) < 0 || dup2(pipe_ends[1], 2) < 0)
            _exit(127);
        close(no_input);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        int status = board_test();
        fflush(stdout);
        _exit(status & 0xFF); // the static objects are the station's, not the board's to end
    }
    close(pipe_ends[1]);
    if (pid > 0) {
        setpgid(pid, pid); // whichever of the two comes first
        register_as_board(pid);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        close(pipe_ends[0]);
        return {};
    }
    return read_and_reap(pid, pipe_ends[0], on_line, limit);
}

} // namespace station
