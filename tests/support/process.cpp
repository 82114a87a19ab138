#include "process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process {

pid_t spawn(const std::string &path, const std::vector<std::string> &args,
            const std::vector<std::string> &extra_env, const int (&standard)[3],
            const std::vector<int> &close_in_child)
{
    std::vector<std::string> argv_storage{path};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(argv_storage.size() + 1);
    for (std::string &a : argv_storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    auto name_of = [](const std::string &setting) { return setting.substr(0, setting.find('=') + 1); };
    std::vector<std::string> env_storage;
    for (char **e = environ; *e; e++) {
        bool replaced = false;
        for (const std::string &extra : extra_env)
            replaced = replaced || name_of(extra) == name_of(*e);
        if (!replaced)
            env_storage.emplace_back(*e);
    }
    env_storage.insert(env_storage.end(), extra_env.begin(), extra_env.end());
    std::vector<char *> envp;
    envp.reserve(env_storage.size() + 1);
    for (std::string &e : env_storage)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        for (int fd = 0; fd < 3; fd++)
            dup2(standard[fd], fd);
        for (int fd : close_in_child)
            close(fd);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int exit_status_of(pid_t pid, int &signal)
{
    int status = 0;
    waitpid(pid, &status, 0);
    signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool read_both(pid_t pid, const int fds[2], std::string *const sinks[2], int limit_ms)
{
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    bool timed_out = false;
    while (polled[0].fd >= 0 || polled[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(polled, 2, int(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (polled[i].fd < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = read(polled[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) { // a terminal's master reads EIO at the end
                close(polled[i].fd);
                polled[i].fd = -1;
            }
        }
    }
    for (const pollfd &p : polled)
        if (p.fd >= 0)
            close(p.fd);
    return timed_out;
}

Result run(const std::string &path, const std::vector<std::string> &args,
           const std::optional<std::string> &input, const std::vector<std::string> &extra_env,
           int limit_ms)
{
    Result result;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0)
        return result;
    int null_fd = open("/dev/null", O_RDONLY);
    const int standard[3] = {input ? in_pipe[0] : null_fd, out_pipe[1], err_pipe[1]};
    pid_t pid = spawn(path, args, extra_env, standard,
                      {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1],
                       null_fd});
    close(null_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (input) {
        // Small inputs only: they fit in the pipe without blocking.
        ssize_t ignored = write(in_pipe[1], input->data(), input->size());
        (void)ignored;
    }
    close(in_pipe[1]);

    int fds[2] = {out_pipe[0], err_pipe[0]};
    std::string *sinks[2] = {&result.out, &result.err};
    result.timed_out = read_both(pid, fds, sinks, limit_ms);
    int status = exit_status_of(pid, result.signal);
    if (!result.timed_out)
        result.exit_status = status;
    return result;
}

Live start(const std::string &path, const std::vector<std::string> &args,
           const std::vector<std::string> &extra_env, bool with_errors)
{
    return start_with_errors_to(path, args, extra_env, with_errors ? -1 : STDERR_FILENO);
}

// standard_error -1: the pipe of standard output.
Live start_with_errors_to(const std::string &path, const std::vector<std::string> &args,
                          const std::vector<std::string> &extra_env, int standard_error)
{
    Live live;
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
        return live;
    const int standard[3] = {in_pipe[0], out_pipe[1], standard_error < 0 ? out_pipe[1] : standard_error};
    live.pid = spawn(path, args, extra_env, standard, {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]});
    close(in_pipe[0]);
    close(out_pipe[1]);
    live.input = in_pipe[1];
    live.output = out_pipe[0];
    return live;
}

namespace {

enum class Got { bytes, end, nothing_in_time };

// One read of the live run's output, waiting at most until deadline.
Got read_some(Live &live, std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    pollfd fd{live.output, POLLIN, 0};
    if (left <= 0 || poll(&fd, 1, int(left)) <= 0)
        return Got::nothing_in_time;
    char buffer[4096];
    ssize_t n = read(live.output, buffer, sizeof buffer);
    if (n <= 0)
        return Got::end;
    live.out.append(buffer, size_t(n));
    return Got::bytes;
}

} // namespace

std::string read_until(Live &live, const std::string &text, int limit_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (live.out.find(text) == std::string::npos && read_some(live, deadline) == Got::bytes) {
    }
    return live.out;
}

Result finish(Live &live, int limit_ms)
{
    close(live.input);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    Got got = live.output < 0 ? Got::end : Got::bytes;
    while (got == Got::bytes)
        got = read_some(live, deadline);
    Result result;
    result.timed_out = got == Got::nothing_in_time;
    if (result.timed_out)
        kill(live.pid, SIGKILL);
    if (live.output >= 0)
        close(live.output);
    int status = exit_status_of(live.pid, result.signal);
    result.exit_status = result.timed_out ? -1 : status;
    result.out = live.out;
    return result;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

double cpu_seconds_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // the name may hold blanks
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; i++)
        if (i >= 14) // utime, stime
            ticks += std::stol(field);
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

} // namespace process
