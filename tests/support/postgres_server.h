// A throwaway PostgreSQL server for a test: its own cluster in a temporary
// folder, listening on a Unix socket there and, when asked, on a free TCP
// port of 127.0.0.1, run as the postgres user when the tests run as root.
#pragma once

#include <csignal>
#include <string>

namespace postgres {

class Server {
public:
    Server() = default;
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // initdb and start; false with why (no PostgreSQL installed, a failed start).
    bool start(std::string &why, bool tcp = false);
    bool stop(std::string &why);
    bool restart(std::string &why) { return started_ ? true : run_ctl("start", why); }
    // A URL that reaches its database "postgres", or another one.
    std::string url(const std::string &database = "postgres") const;
    // With tcp: a URL that reaches it over TCP at host (127.0.0.1, localhost...).
    std::string tcp_url(const std::string &host) const;
    // createdb with its options (-E LATIN1 ...).
    bool create_database(const std::string &name, const std::string &options, std::string &why);
    // Every process of the server stopped (SIGSTOP), as a hung machine
    // would leave it, and let go on (SIGCONT).
    bool freeze(std::string &why) { return signal_all(SIGSTOP, why); }
    bool thaw(std::string &why) { return signal_all(SIGCONT, why); }

private:
    bool run_ctl(const std::string &action, std::string &why);
    std::string as_owner(const std::string &command) const;
    bool signal_all(int signal, std::string &why);

    std::string dir_, bin_;
    int port_ = 5432;
    bool tcp_ = false;
    bool started_ = false, frozen_ = false;
};

} // namespace postgres
