#include "output_session.h"

#include "record.h"

OutputSession run_outputs(const station::RunOptions &options, const std::vector<station::BoardResult> &results)
{
    OutputSession session;
    session.run = console::capture([&] {
        station::Screen screen;
        auto outputs = station::choose_outputs(options, screen, [](const std::string &) {});
        auto refused = [&](const std::string &why) {
            if (session.why.empty())
                session.why = why.empty() ? "refused" : why;
        };
        for (auto &output : outputs)
            if (std::string why; !output->start(why))
                refused(why);
        for (const station::BoardResult &result : results) {
            session.records.push_back(station::record_json(result, options.context));
            station::FinishedBoard board{result, session.records.back(), -1, true, false};
            for (auto &output : outputs)
                if (std::string why; !output->finished(board, why))
                    refused(why);
        }
        station::SessionEnd end{results, "", {}};
        for (auto &output : outputs)
            if (std::string why; !output->end(end, why))
                refused(why);
    });
    return session;
}
