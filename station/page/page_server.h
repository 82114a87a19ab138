// The station's page over HTTP, on a thread of the server's own: the page,
// /api/state, /api/events (Server-Sent Events), /metrics and /healthz; or
// /metrics alone, for a station without a page. Read-only:
// nothing a client sends changes what the station does, and no client can
// hold up a board's test, which never waits on the server.
#pragma once

#include "page_state.h"

#include <memory>
#include <string>

namespace station::page {

// Whether this build of the station can serve its page.
bool available();

class PageServer {
public:
    // state: the page's; nullptr serves /metrics alone.
    explicit PageServer(PageState *state);
    ~PageServer();
    PageServer(const PageServer &) = delete;
    PageServer &operator=(const PageServer &) = delete;

    // Binds address:port (0: a free port) and serves; false with why.
    bool serve(const std::string &address, int port, std::string &why);
    int port() const;
    // Sends each stream the last state (for half a second at most), closes
    // every connection and the port, and ends the server's thread: the
    // page's state may then end.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace station::page
