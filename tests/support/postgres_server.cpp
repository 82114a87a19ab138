#include "postgres_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace postgres {
namespace {

namespace fs = std::filesystem;

// Debian keeps the server's programs out of PATH, one folder per version.
std::string server_bin()
{
    std::error_code ec;
    std::string found;
    for (const auto &version : fs::directory_iterator("/usr/lib/postgresql", ec))
        if (fs::exists(version.path() / "bin" / "initdb"))
            found = (version.path() / "bin").string(); // the last listed; any will do
    return found;
}

bool shell(const std::string &command, std::string &why)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0)
        why = "failed: " + command;
    return status == 0;
}

// A port nothing listens on now: the system's pick for a socket bound to 0.
int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

} // namespace

std::string Server::as_owner(const std::string &command) const
{
    return getuid() == 0 ? "runuser -u postgres -- " + command : command;
}

bool Server::start(std::string &why, bool tcp)
{
    tcp_ = tcp;
    if (tcp && (port_ = free_port()) == 0) {
        why = "no free TCP port on 127.0.0.1";
        return false;
    }
    bin_ = server_bin();
    if (bin_.empty()) {
        why = "no PostgreSQL server is installed (Debian's postgresql package)";
        return false;
    }
    char dir[] = "/tmp/wiretest-postgres-XXXXXX";
    if (!mkdtemp(dir)) {
        why = "no temporary folder";
        return false;
    }
    dir_ = dir;
    if (getuid() == 0) {
        const passwd *owner = getpwnam("postgres");
        if (!owner || chown(dir, owner->pw_uid, owner->pw_gid) != 0) {
            why = "no postgres user to run the server as";
            return false;
        }
    }
    return shell(as_owner(bin_ + "/initdb -D " + dir_ + "/data -U postgres -A trust --no-sync"), why) &&
           run_ctl("start", why);
}

bool Server::run_ctl(const std::string &action, std::string &why)
{
    std::string listen = tcp_ ? "'127.0.0.1' -p " + std::to_string(port_) : "''";
    std::string options = action == "start" ? " -o \"-k " + dir_ + " -c listen_addresses=" + listen +
                                                  " -c fsync=off\" -l " + dir_ + "/log"
                                            : " -m fast";
    bool ok = shell(as_owner(bin_ + "/pg_ctl -D " + dir_ + "/data -w" + options + " " + action), why);
    if (ok)
        started_ = action == "start";
    return ok;
}

bool Server::stop(std::string &why)
{
    // A frozen server would never stop.
    return !started_ || ((!frozen_ || thaw(why)) && run_ctl("stop", why));
}

std::string Server::url(const std::string &database) const
{
    return "postgresql:///" + database + "?host=" + dir_ + "&user=postgres" +
           (tcp_ ? "&port=" + std::to_string(port_) : "");
}

bool Server::create_database(const std::string &name, const std::string &options, std::string &why)
{
    return shell(as_owner(bin_ + "/createdb -h " + dir_ + " -p " + std::to_string(port_) + " -U postgres " + options + " " + name), why);
}

// The postmaster (its pid heads postmaster.pid) first, so that it starts no
// process the signal misses, then each of its children.
bool Server::signal_all(int signal, std::string &why)
{
    std::ifstream pid_file(dir_ + "/data/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pid_file >> postmaster) || kill(postmaster, signal) != 0) {
        why = "no running postmaster in " + dir_;
        return false;
    }
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == postmaster)
            kill(std::stoi(entry.path().filename().string()), signal);
    }
    frozen_ = signal == SIGSTOP;
    return true;
}

std::string Server::tcp_url(const std::string &host) const
{
    return "postgresql://postgres@" + host + ":" + std::to_string(port_) + "/postgres";
}

Server::~Server()
{
    std::string ignored;
    stop(ignored);
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

} // namespace postgres
