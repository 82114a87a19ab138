#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process {

Result run(const std::string &path, const std::vector<std::string> &args,
           const std::optional<std::string> &input, const std::vector<std::string> &extra_env,
           int limit_ms)
{
    Result result;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0)
        return result;

    std::vector<std::string> argv_storage{path};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(argv_storage.size() + 1);
    for (std::string &a : argv_storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The extra settings replace any of the same name.
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
        if (input) {
            dup2(in_pipe[0], 0);
        } else {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]})
            close(fd);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (input) {
        // Small inputs only: they fit in the pipe without blocking.
        ssize_t ignored = write(in_pipe[1], input->data(), input->size());
        (void)ignored;
    }
    close(in_pipe[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    return result;
}

} // namespace process
