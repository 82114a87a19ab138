#include "terminal.h"

#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace terminal {

Result run(const std::string &path, const std::vector<std::string> &args, Output output,
           const std::vector<std::string> &extra_env, int limit_ms, const std::optional<std::string> &input)
{
    Result result;
    // [0] standard error's terminal, [1] standard output's when it has one
    // of its own; the pipe's read end stands in [1] for a pipe.
    int master[2] = {-1, -1}, slave[2] = {-1, -1};
    if (openpty(&master[0], &slave[0], nullptr, nullptr, nullptr) != 0)
        return result;
    if (output == Output::other_terminal && openpty(&master[1], &slave[1], nullptr, nullptr, nullptr) != 0)
        return result;
    if (output == Output::pipe) {
        int p[2];
        if (pipe(p) != 0)
            return result;
        master[1] = p[0];
        slave[1] = p[1];
    }
    int null_fd = open("/dev/null", O_RDONLY);
    if (input) { // a file of its own, read from its start
        char name[] = "/tmp/wiretest-terminal-input-XXXXXX";
        close(null_fd);
        null_fd = mkstemp(name);
        unlink(name);
        if (null_fd < 0 || write(null_fd, input->data(), input->size()) != ssize_t(input->size()) ||
            lseek(null_fd, 0, SEEK_SET) != 0)
            return result;
    }
    const int standard[3] = {null_fd, output == Output::same_terminal ? slave[0] : slave[1], slave[0]};
    std::vector<std::string> env = {"NO_COLOR="}; // set and empty: colours stay on
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    pid_t pid = process::spawn(path, args, env, standard, {master[0], master[1], slave[0], slave[1], null_fd});
    close(null_fd);
    for (int fd : slave)
        if (fd >= 0)
            close(fd);

    // Read both sides until every process holding them has closed them (a
    // terminal's master then reads EIO, a pipe end of file).
    std::string *sinks[2] = {&result.terminal, &result.out};
    result.timed_out = process::read_both(pid, master, sinks, limit_ms);
    int signal = 0;
    int status = process::exit_status_of(pid, signal);
    if (!result.timed_out)
        result.exit_status = status;
    return result;
}

size_t count(const std::string &within, const std::string &text)
{
    size_t n = 0;
    for (size_t at = within.find(text); at != std::string::npos; at = within.find(text, at + text.size()))
        n++;
    return n;
}

} // namespace terminal
