#include "page_server.h"

#include "loaded_library.h"
#include "page_assets.h"

#include <civetweb.h>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>

namespace station::page {
namespace {

using Clock = std::chrono::steady_clock;

// civetweb, loaded by the first run that serves its page: every other start
// of the station is spared the library.
struct Civetweb {
    decltype(&mg_init_library) init_library;
    decltype(&mg_start2) start2;
    decltype(&mg_set_request_handler) set_request_handler;
    decltype(&mg_get_server_ports) get_server_ports;
    decltype(&mg_get_request_info) get_request_info;
    decltype(&mg_printf) printf;
    decltype(&mg_write) write;
};

const Civetweb *load_civetweb(std::string &why)
{
    static const LoadedLibrary<Civetweb> loaded = load_library<Civetweb>(
        "libcivetweb.so.1", "civetweb, Debian's package libcivetweb1", [](Civetweb &f, const auto &get) {
            get("mg_init_library", f.init_library);
            get("mg_start2", f.start2);
            get("mg_set_request_handler", f.set_request_handler);
            get("mg_get_server_ports", f.get_server_ports);
            get("mg_get_request_info", f.get_request_info);
            get("mg_printf", f.printf);
            get("mg_write", f.write);
        });
    return library_functions(loaded, why);
}

// Set before the first server starts, and only then used.
const Civetweb *web = nullptr;
// A server stopped, whose threads may still answer until the process ends.
const void *left_to_the_end = nullptr;

// Each open page's stream holds one of the server's threads: a bounded
// number of streams leaves threads for the API, whoever else connects.
constexpr int most_streams = 8;
const char server_threads[] = "12";
// A client that sends slowly or reads nothing is dropped after this, not
// waited on.
const char request_timeout_ms[] = "2000";
// A stream ends after this and the page reconnects by itself: a client that
// stopped reading long ago gives its thread back.
const auto stream_lifetime = std::chrono::minutes(10);
// A comment line this often tells a page (and a proxy) the station is there.
const auto keepalive_interval = std::chrono::seconds(15);
// At most one message a stream this often: well inside what a person sees
// as at once, and little for a small display to draw.
const auto least_message_gap = std::chrono::milliseconds(100);

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

void send(mg_connection *conn, bool head, int status, const char *reason, const char *type, const std::string &body,
          const char *extra_headers = "")
{
    web->printf(conn,
                "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n%s%s\r\n",
                status, reason, type, body.size(), page_headers, extra_headers);
    if (!head)
        web->write(conn, body.data(), body.size());
}

} // namespace

bool available() { return true; }

struct PageServer::Impl {
    explicit Impl(PageState &page_state) : state(page_state) {}

    static int handle_request(mg_connection *conn, void *data);
    int handle(mg_connection *conn);
    int stream(mg_connection *conn);

    PageState &state;
    mg_context *context = nullptr;
    std::atomic<int> streams{0};
    int port = 0;
    // Requests in the station's handler, and whether the station is ending:
    // past then no request touches the page's state, which ends with it.
    std::mutex handlers_lock;
    std::condition_variable handlers_left;
    int handlers = 0;
    bool closing = false;
};

int PageServer::Impl::handle_request(mg_connection *conn, void *data)
{
    auto *impl = static_cast<Impl *>(data);
    bool closing = false;
    {
        std::lock_guard<std::mutex> lock(impl->handlers_lock);
        closing = impl->closing;
        if (!closing)
            impl->handlers++;
    }
    // Said outside the lock: a client that reads nothing holds only its own thread.
    if (closing) {
        send(conn, false, 503, "Service Unavailable", "text/plain; charset=utf-8", "503 the station is ending\n");
        return 503;
    }
    int status = impl->handle(conn);
    std::lock_guard<std::mutex> lock(impl->handlers_lock);
    if (--impl->handlers == 0)
        impl->handlers_left.notify_all();
    return status;
}

int PageServer::Impl::handle(mg_connection *conn)
{
    const mg_request_info *request = web->get_request_info(conn);
    std::string method = request->request_method ? request->request_method : "";
    bool head = method == "HEAD";
    if (method != "GET" && !head) {
        send(conn, head, 405, "Method Not Allowed", "text/plain; charset=utf-8",
             "405 method not allowed: the station's page is read-only\n", "Allow: GET, HEAD\r\n");
        return 405;
    }
    // The path as sent, decoded: only the page's own paths, exactly, so
    // that "..", encoded or not, names none of them.
    std::string path = request->local_uri_raw ? request->local_uri_raw : "";
    for (const Asset &asset : assets)
        if (path == asset.path) {
            send(conn, head, 200, "OK", asset.type, asset.text);
            return 200;
        }
    if (path == "/api/state") {
        uint64_t state_version = 0;
        send(conn, head, 200, "OK", "application/json", state.json(state_version));
        return 200;
    }
    if (path == "/api/events") {
        if (head) {
            send(conn, head, 200, "OK", "text/event-stream", "");
            return 200;
        }
        return stream(conn);
    }
    send(conn, head, 404, "Not Found", "text/plain; charset=utf-8", "404 not found\n");
    return 404;
}

// Server-Sent Events: the whole state at once, then at every change, so a
// page that missed some changes is whole again with the next.
int PageServer::Impl::stream(mg_connection *conn)
{
    if (streams.fetch_add(1) >= most_streams) {
        streams--;
        send(conn, false, 503, "Service Unavailable", "text/plain; charset=utf-8", "503 too many pages open\n",
             "Retry-After: 10\r\n");
        return 503;
    }
    web->printf(conn, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n%sConnection: close\r\n\r\n"
                      "retry: 1000\n\n",
                page_headers);
    auto ends_at = Clock::now() + stream_lifetime;
    uint64_t seen = 0;
    auto next_message = Clock::now();
    for (bool first = true;; first = false) {
        if (!first && state.wait_past(seen, std::min(ends_at, Clock::now() + keepalive_interval)) <= seen) {
            if (state.closed() || Clock::now() >= ends_at)
                break;
            static const char keepalive[] = ": the station is here\n\n";
            if (web->write(conn, keepalive, sizeof keepalive - 1) <= 0)
                break;
            continue;
        }
        // Changes that come faster than a page draws them (a soak's runs,
        // many slots' rows) go as one message; the station's last state
        // goes at once.
        state.wait_past(std::numeric_limits<uint64_t>::max(), next_message);
        std::string message = "data: " + state.json(seen) + "\n\n";
        // A client that reads nothing fails this once the request timeout passes.
        if (web->write(conn, message.data(), message.size()) <= 0 || state.closed())
            break;
        next_message = Clock::now() + least_message_gap;
    }
    streams--;
    return 200;
}

PageServer::PageServer(PageState &state) : impl_(std::make_unique<Impl>(state)) {}

PageServer::~PageServer() { stop(); }

bool PageServer::serve(const std::string &address, int port, std::string &why)
{
    bool v6 = address.find(':') != std::string::npos;
    std::string listening = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
    std::string load_why;
    if (!web && !(web = load_civetweb(load_why))) {
        why = "cannot serve the page at " + listening + ": " + load_why;
        return false;
    }
    // No document_root: the server has no files to give, only the page's paths.
    const char *options[] = {"listening_ports", listening.c_str(),
                             "num_threads", server_threads,
                             "request_timeout_ms", request_timeout_ms,
                             // One request a connection: the page asks for
                             // four things once, and a connection kept open
                             // would hold a thread, and the station's end.
                             "enable_keep_alive", "no",
                             nullptr};
    mg_callbacks callbacks{};
    // The library's own messages would land on the operator's terminal: the
    // station says what went wrong in its own words, from the first of them
    // while it starts (why a port cannot be bound).
    static thread_local std::string *start_log = nullptr;
    std::string first_message;
    start_log = &first_message;
    callbacks.log_message = [](const mg_connection *, const char *message) {
        if (start_log && start_log->empty() && message)
            *start_log = message;
        return 1;
    };
    char error_text[256] = "";
    unsigned error_code = 0;
    mg_error_data error{&error_code, error_text, sizeof error_text};
    mg_init_data init{&callbacks, impl_.get(), options};
    web->init_library(0);
    impl_->context = web->start2(&init, &error);
    start_log = nullptr;
    if (!impl_->context) {
        why = "cannot serve the page at " + listening;
        std::string text = first_message.empty() ? error_text : first_message;
        if (text.find("Address already in use") != std::string::npos)
            why += ": the port is taken";
        else if (!text.empty())
            why += ": " + text;
        return false;
    }
    web->set_request_handler(impl_->context, "**", Impl::handle_request, impl_.get());
    mg_server_port ports[4] = {};
    int n = web->get_server_ports(impl_->context, 4, ports);
    impl_->port = n > 0 ? ports[0].port : port;
    return true;
}

int PageServer::port() const { return impl_ ? impl_->port : 0; }

void PageServer::stop()
{
    if (!impl_ || !impl_->context)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->handlers_lock);
        impl_->closing = true;
    }
    impl_->state.close(); // every stream ends now, not at its next keepalive
    {
        std::unique_lock<std::mutex> lock(impl_->handlers_lock);
        impl_->handlers_left.wait(lock, [this] { return impl_->handlers == 0; });
    }
    // The server is left to end with the process: the library's own stop
    // sleeps in steps of 10 ms until its threads are through, which every
    // run with a page would add to its end. Its threads touch nothing of
    // the station's now, and the server's own state is kept for them.
    left_to_the_end = impl_.release();
}

} // namespace station::page
