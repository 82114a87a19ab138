// The station's page as one more output: each board's live state and result
// into the page's state, which the server pushes to every page open.
#include "outputs.h"

#include "page/page_server.h"
#include "page/page_state.h"

#include "test_driver/wiring_patterns.h"

namespace station {
namespace {

class PageOutput : public Output {
public:
    PageOutput(const RunOptions &options, Screen &screen)
        : serve_(*options.serve), screen_(screen),
          state_({options.context.station_id, version, options.context.fixture_id, options.context.short_test ? int(SHORT_TEST_STEPS) : int(FULL_TEST_STEPS)}),
          server_(state_)
    {
    }

    bool start(std::string &why) override
    {
        if (!server_.serve(serve_.address, serve_.port, why))
            return false;
        screen_.message("the station's page is at " + page::page_url(serve_.address, server_.port()));
        return true;
    }

    void slot_event(const SlotEvent &event) override { state_.apply(event); }

    bool finished(const FinishedBoard &board, std::string &) override
    {
        state_.apply(board.result, board.last);
        return true;
    }

    bool end(SessionEnd &, std::string &) override
    {
        state_.session_ended();
        server_.stop();
        return true;
    }

private:
    const page::ServeAddress serve_;
    Screen &screen_;
    page::PageState state_;
    page::PageServer server_;
};

} // namespace

std::unique_ptr<Output> page_output(const RunOptions &options, Screen &screen)
{
    return std::make_unique<PageOutput>(options, screen);
}

} // namespace station
