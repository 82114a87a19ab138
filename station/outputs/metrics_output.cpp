// The station's metrics as one more output: each board's result into the
// registry /metrics reads, and with --metrics a port serving it alone.
#include "metrics.h"
#include "sinks.h"

#include "page_server.h"

namespace station {
namespace {

class MetricsOutput : public Output {
public:
    MetricsOutput(const RunOptions &options, Screen &screen) : options_(options), screen_(screen) {}

    bool start(std::string &why) override
    {
        metrics::start(options_.context);
        if (!options_.metrics)
            return true;
        server_ = std::make_unique<page::PageServer>(nullptr);
        const page::ServeAddress &at = *options_.metrics;
        if (!server_->serve(at.address, at.port, why)) {
            why = "--metrics: " + why;
            return false;
        }
        screen_.message("the station's metrics are at " + page::page_url(at.address, server_->port()) + "metrics");
        return true;
    }

    bool runs_threads() const override { return server_ != nullptr; }

    void slot_event(const SlotEvent &event) override
    {
        if (event.kind == SlotEvent::watched)
            metrics::watched(metrics::slot_label(event.slot, event.location));
        else if (event.kind == SlotEvent::testing)
            metrics::testing(metrics::slot_label(event.slot, event.location));
    }

    bool finished(const FinishedBoard &board, std::string &) override
    {
        metrics::finished(board.result, board.last);
        return true;
    }

    bool end(SessionEnd &, std::string &) override
    {
        metrics::stopping();
        if (server_)
            server_->stop();
        return true;
    }

private:
    const RunOptions &options_;
    Screen &screen_;
    std::unique_ptr<page::PageServer> server_;
};

} // namespace

std::unique_ptr<Output> metrics_output(const RunOptions &options, Screen &screen)
{
    return std::make_unique<MetricsOutput>(options, screen);
}

} // namespace station
