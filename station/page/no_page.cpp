// A build without an HTTP server library: --serve says it is not available.
#include "page_server.h"

namespace station::page {

bool available() { return false; }

struct PageServer::Impl {};

PageServer::PageServer(PageState *) {}
PageServer::~PageServer() = default;

bool PageServer::serve(const std::string &, int, std::string &why)
{
    why = "--serve and --metrics are not available on this build of wiretest-station";
    return false;
}

int PageServer::port() const { return 0; }
void PageServer::stop() {}

} // namespace station::page
