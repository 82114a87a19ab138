// The page's HTTP server: one thread, every connection a non-blocking socket
// it polls. No client holds a thread, so a crowd of slow clients costs the
// others nothing: each is dropped 2 s after the system accepted it, timed
// from the moment the server takes it, which it does as soon as it is there.
#include "page_server.h"

#include "page_assets.h"

#include "metrics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace station::page {
namespace {

using Clock = std::chrono::steady_clock;

// Event streams open at once: a line's screens and a few more. A stream is
// a socket and a buffer, not a thread.
constexpr int most_streams = 32;
// A client must have sent its whole request this long after it connected,
// and a client that takes nothing of what it is sent for this long is
// dropped (a stream whose messages wait unread with them).
const auto client_patience = std::chrono::seconds(2);
// A request's line and headers; the page's own are a few hundred bytes.
constexpr size_t most_request_bytes = 8192;
// Kept small so that a stream nobody reads shows as unsent bytes soon.
constexpr int stream_send_buffer = 16384;
// A stream ends after this and the page reconnects by itself.
const auto stream_lifetime = std::chrono::minutes(10);
// A comment line this often tells a page (and a proxy) the station is there.
const auto keepalive_interval = std::chrono::seconds(15);
// At most one message a stream this often: well inside what a person sees
// as at once, and little for a small display to draw.
const auto least_message_gap = std::chrono::milliseconds(100);
// At the station's end, what its streams are still owed goes out this long at most.
const auto last_words = std::chrono::milliseconds(500);

struct Asset {
    const char *path;
    const char *type;
    const char *text;
};
const Asset assets[] = {
    {"/", "text/html; charset=utf-8", page_html},
    {"/page.css", "text/css; charset=utf-8", page_css},
    {"/page.js", "text/javascript; charset=utf-8", page_js},
    {"/healthz", "text/plain; charset=utf-8", "ok\n"},
};

// Scripts and styles from the page's own paths only: a label that somehow
// reached the page as markup would still run nothing.
const char page_headers[] = "Cache-Control: no-store\r\n"
                            "X-Content-Type-Options: nosniff\r\n"
                            "Content-Security-Policy: default-src 'none'; script-src 'self'; "
                            "style-src 'self'; connect-src 'self'; img-src 'self'\r\n";

std::string answer(bool head, int status, const char *reason, const char *type, const std::string &body,
                   const char *extra_headers = "")
{
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
                       page_headers + extra_headers + "\r\n";
    return head ? text : text + body;
}

std::string plain(bool head, int status, const char *reason, const std::string &body, const char *extra = "")
{
    return answer(head, status, reason, "text/plain; charset=utf-8", body, extra);
}

struct Connection {
    // closing: done with, dropped at once; draining: answered, its sending
    // side shut, what it still sends read until it closes (a close with
    // unread bytes would reset the connection and could cost it the answer).
    enum Phase { reading, answering, streaming, draining, closing } phase = reading;
    int fd = -1;
    std::string in, out;      // the request so far; what is yet to be sent
    bool peer_closed = false; // it sent its request and closed its side: answered all the same
    Clock::time_point patience_ends; // dropped then, unless it got further
    // A stream's: the state version it was last sent, and when what comes next may go.
    uint64_t seen = 0;
    Clock::time_point next_message, next_keepalive, ends_at;
};

void close_socket(int fd)
{
    if (fd >= 0)
        close(fd);
}

// Sends what it can of c.out; false when the client is gone.
bool send_some(Connection &c, Clock::time_point now)
{
    while (!c.out.empty()) {
        ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.out.erase(0, size_t(sent));
        c.patience_ends = now + client_patience;
    }
    return true;
}

// Reads what the client sent; false when it closed or failed. A request is
// kept up to its limit; anything else a client sends is read and let go.
bool receive_some(Connection &c)
{
    char buffer[4096];
    // A client that sends without end gets this much read a round: the
    // others are served in between.
    for (int reads = 0; reads < 16; reads++) {
        ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
        if (got == 0)
            return false;
        if (got < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (c.phase == Connection::reading && c.in.size() <= most_request_bytes)
            c.in.append(buffer, size_t(got));
    }
    return true;
}

// A request header's value ("" for none), its name matched in any case.
std::string header(const std::string &request, const std::string &name)
{
    size_t line = request.find('\n');
    while (line != std::string::npos) {
        size_t start = line + 1, end = request.find('\n', start);
        std::string text = request.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t colon = text.find(':');
        if (colon == name.size() && std::equal(name.begin(), name.end(), text.begin(),
                                               [](char a, char b) { return a == std::tolower((unsigned char)b); })) {
            std::string value = text.substr(colon + 1);
            size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t\r");
            return first == std::string::npos ? "" : value.substr(first, last - first + 1);
        }
        line = end;
    }
    return "";
}

// Half the process's file descriptors for the page's clients at most: the
// boards' processes and the records need theirs.
size_t most_clients()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1000;
    return std::max<size_t>(64, size_t(limit.rlim_cur) / 2);
}

} // namespace

bool available() { return true; }

struct PageServer::Impl {
    explicit Impl(PageState *page_state) : state(page_state) {}
    ~Impl()
    {
        for (const Connection &c : connections)
            close_socket(c.fd);
        close_socket(listener);
        close_socket(wake[0]);
        close_socket(wake[1]);
    }

    void run();
    void accept_all(Clock::time_point now);
    void handle_request(Connection &c, Clock::time_point now);
    // A stream that has sent all it had: what is due to it now.
    void feed(Connection &c, Clock::time_point now, bool last, uint64_t &version, std::string &message);
    // Done with: closed at the next sweep, its place free now.
    void drop(Connection &c);
    void wake_up()
    {
        char byte = 0;
        (void)!write(wake[1], &byte, 1); // a full pipe wakes the server as well
    }

    PageState *state; // nullptr: /metrics alone
    int listener = -1;
    int wake[2] = {-1, -1};
    int port = 0;
    size_t client_limit = 0;
    Clock::time_point accept_again; // the port is not polled before
    std::list<Connection> connections;
    int streams = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

void PageServer::Impl::accept_all(Clock::time_point now)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors, the connection stays in the system's
            // queue: the port is polled again a little later, not at once
            // and for ever.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_again = now + std::chrono::milliseconds(100);
            return;
        }
        if (connections.size() >= client_limit) {
            close(fd); // a flood: dropped at once, never queued
            continue;
        }
        Connection c;
        c.fd = fd;
        c.patience_ends = now + client_patience;
        connections.push_back(std::move(c));
    }
}

void PageServer::Impl::handle_request(Connection &c, Clock::time_point now)
{
    c.phase = Connection::answering;
    size_t line_end = c.in.find('\n');
    std::string line = c.in.substr(0, line_end);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    size_t first_space = line.find(' '), second_space = line.find(' ', first_space + 1);
    std::string protocol = second_space == std::string::npos ? "" : line.substr(second_space + 1);
    if (first_space == std::string::npos || (protocol != "HTTP/1.1" && protocol != "HTTP/1.0")) {
        c.out = plain(false, 400, "Bad Request", "400 not an HTTP request\n");
        return;
    }
    std::string method = line.substr(0, first_space);
    bool head = method == "HEAD";
    if (method != "GET" && !head) {
        c.out = plain(false, 405, "Method Not Allowed", "405 method not allowed: the station's page is read-only\n",
                      "Allow: GET, HEAD\r\n");
        return;
    }
    // The path as sent, not decoded, without its query: only the page's own
    // paths, exactly, so that "..", encoded or not, names none of them.
    std::string path = line.substr(first_space + 1, second_space - first_space - 1);
    if (size_t query = path.find('?'); query != std::string::npos)
        path.resize(query);
    if (path == "/metrics") {
        // Built at each scrape from counters held in memory: a scrape reads
        // no file and waits on no board.
        bool openmetrics = !metrics::wants_prometheus_text(header(c.in, "accept"));
        c.out = answer(head, 200, "OK", openmetrics ? metrics::openmetrics_type : metrics::prometheus_type,
                       metrics::exposition(openmetrics));
        return;
    }
    if (!state) {
        c.out = plain(head, 404, "Not Found", "404 not found: this port serves /metrics only\n");
        return;
    }
    for (const Asset &asset : assets)
        if (path == asset.path) {
            c.out = answer(head, 200, "OK", asset.type, asset.text);
            return;
        }
    if (path == "/api/state") {
        uint64_t shown = 0;
        c.out = answer(head, 200, "OK", "application/json", state->json(shown));
        return;
    }
    if (path != "/api/events") {
        c.out = plain(head, 404, "Not Found", "404 not found\n");
        return;
    }
    std::string stream_head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n" +
                              std::string(page_headers) + "\r\n";
    if (head) {
        c.out = stream_head;
        return;
    }
    if (streams >= most_streams) {
        // Said in the page, which tries again after the retry's delay.
        c.out = stream_head + "retry: 10000\n\nevent: full\ndata: {\"streams\": " + std::to_string(most_streams) +
                "}\n\n";
        return;
    }
    streams++;
    c.phase = Connection::streaming;
    c.out = stream_head + "retry: 1000\n\n";
    c.next_message = now;
    c.next_keepalive = now + keepalive_interval;
    c.ends_at = now + stream_lifetime;
    int buffer = stream_send_buffer;
    setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

void PageServer::Impl::drop(Connection &c)
{
    if (c.phase == Connection::streaming)
        streams--; // its place is free for the next page at once
    c.phase = Connection::closing;
}

void PageServer::Impl::feed(Connection &c, Clock::time_point now, bool last, uint64_t &version, std::string &message)
{
    if (c.phase != Connection::streaming || !c.out.empty()) // the client has yet to take what it was sent
        return;
    if (!last && now >= c.ends_at)
        return drop(c);
    // Changes that come faster than a page draws them (a soak's runs, many
    // slots' rows) go as one message; the station's last state goes at once.
    if (c.seen < version && (last || now >= c.next_message)) {
        if (message.empty()) // one text for every stream, of the state as it is now
            message = "data: " + state->json(version) + "\n\n";
        c.out = message;
        c.seen = version;
        c.next_message = now + least_message_gap;
    } else if (!last && now >= c.next_keepalive) {
        c.out = ": the station is here\n\n";
    } else {
        return;
    }
    c.next_keepalive = now + keepalive_interval;
    c.patience_ends = now + client_patience;
}

void PageServer::Impl::run()
{
    std::vector<pollfd> polled;
    std::vector<Connection *> polled_connections;
    Clock::time_point stop_by = Clock::time_point::max();
    for (;;) {
        Clock::time_point now = Clock::now();
        bool last = stopping;
        if (last && stop_by == Clock::time_point::max()) {
            stop_by = now + last_words;
            close_socket(listener);
            listener = -1;
            for (Connection &c : connections) // only streams and answers are still owed something
                if (c.phase == Connection::reading)
                    drop(c);
        }
        Clock::time_point wake_at = last ? stop_by : now + keepalive_interval;
        uint64_t current = state ? state->version() : 0;
        std::string message;
        // Sends what is due, drops who ran out of patience or is done.
        for (auto it = connections.begin(); it != connections.end();) {
            Connection &c = *it;
            // A stream that took all it was sent gets what is due at once.
            feed(c, now, last, current, message);
            if (c.phase != Connection::closing && !send_some(c, now))
                drop(c);
            feed(c, now, last, current, message);
            if (c.phase != Connection::closing && !send_some(c, now))
                drop(c);
            if (c.phase == Connection::answering && c.out.empty() && c.peer_closed)
                drop(c);
            if (c.phase == Connection::answering && c.out.empty()) { // one request a connection
                shutdown(c.fd, SHUT_WR);
                c.phase = Connection::draining;
                c.patience_ends = now + client_patience;
            }
            bool idle_stream = c.phase == Connection::streaming && c.out.empty();
            if (now >= c.patience_ends && !idle_stream) {
                // Reset, not closed: what it did not take is thrown away
                // now, not kept in the system to be offered for minutes.
                linger at_once{1, 0};
                setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
                drop(c);
            }
            if (last && (idle_stream || now >= stop_by))
                drop(c);
            if (c.phase == Connection::closing) {
                close_socket(c.fd);
                it = connections.erase(it);
                continue;
            }
            if (!idle_stream)
                wake_at = std::min(wake_at, c.patience_ends);
            else
                wake_at = std::min({wake_at, c.seen < current ? c.next_message : c.next_keepalive, c.ends_at});
            ++it;
        }
        if (last && connections.empty())
            return;

        polled.clear();
        polled_connections.clear();
        polled.push_back({wake[0], POLLIN, 0});
        bool accepting = listener >= 0 && now >= accept_again;
        if (accepting)
            polled.push_back({listener, POLLIN, 0});
        else if (listener >= 0)
            wake_at = std::min(wake_at, accept_again);
        for (Connection &c : connections) {
            polled.push_back({c.fd, short((c.peer_closed ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT)), 0});
            polled_connections.push_back(&c);
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now).count() + 1;
        if (poll(polled.data(), nfds_t(polled.size()), int(std::clamp<int64_t>(wait, 0, 60000))) < 0 && errno != EINTR)
            return;
        now = Clock::now();
        if (polled[0].revents) {
            char bytes[64];
            while (read(wake[0], bytes, sizeof bytes) > 0) {
            }
        }
        size_t first_connection = accepting ? 2 : 1;
        if (accepting && polled[1].revents)
            accept_all(now);
        for (size_t i = first_connection; i < polled.size(); i++) {
            Connection &c = *polled_connections[i - first_connection];
            if (!(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            bool open = receive_some(c);
            if (c.phase == Connection::reading) {
                if (c.in.find("\r\n\r\n") != std::string::npos || c.in.find("\n\n") != std::string::npos)
                    handle_request(c, now);
                else if (c.in.size() > most_request_bytes) {
                    c.phase = Connection::answering;
                    c.out = plain(false, 431, "Request Header Fields Too Large", "431 the request is too long\n");
                }
            }
            // A stream's client that closed frees its place at once.
            if (!open && c.phase == Connection::answering)
                c.peer_closed = true;
            else if (!open)
                drop(c);
        }
    }
}

PageServer::PageServer(PageState *state) : impl_(std::make_unique<Impl>(state)) {}

PageServer::~PageServer() { stop(); }

bool PageServer::serve(const std::string &address, int port, std::string &why)
{
    bool v6 = address.find(':') != std::string::npos;
    std::string listening = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
    why = "cannot serve the page at " + listening + ": ";
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    int looked_up = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked_up != 0) {
        why += gai_strerror(looked_up);
        return false;
    }
    Impl &impl = *impl_;
    impl.listener = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol);
    int yes = 1;
    if (impl.listener >= 0) {
        setsockopt(impl.listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes); // a restart binds at once
        if (found->ai_family == AF_INET6)
            setsockopt(impl.listener, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes); // [::1] is IPv6 only
    }
    bool bound = impl.listener >= 0 && bind(impl.listener, found->ai_addr, found->ai_addrlen) == 0 &&
                 listen(impl.listener, SOMAXCONN) == 0;
    int error = errno;
    freeaddrinfo(found);
    if (!bound) {
        why += error == EADDRINUSE ? "the port is taken" : strerror(error);
        return false;
    }
    if (pipe2(impl.wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        why += strerror(errno);
        return false;
    }
    sockaddr_storage bound_address{};
    socklen_t length = sizeof bound_address;
    getsockname(impl.listener, reinterpret_cast<sockaddr *>(&bound_address), &length);
    impl.port = ntohs(bound_address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound_address).sin6_port
                                                           : reinterpret_cast<sockaddr_in &>(bound_address).sin_port);
    impl.client_limit = most_clients();
    if (impl.state)
        impl.state->watch([&impl] { impl.wake_up(); });
    impl.thread = std::thread([&impl] { impl.run(); });
    why.clear();
    return true;
}

int PageServer::port() const { return impl_ ? impl_->port : 0; }

void PageServer::stop()
{
    if (!impl_ || !impl_->thread.joinable())
        return;
    impl_->stopping = true;
    impl_->wake_up();
    impl_->thread.join();
    if (impl_->state)
        impl_->state->watch(nullptr);
}

} // namespace station::page
