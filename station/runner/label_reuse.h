// Labels scanned for two boards: a board whose label another board had in
// the last 24 hours, tested at another slot or passed, is flagged. The
// session's own boards are known from the moment they start; with --db the
// database tells of the others, the line's stations among them.
#pragma once

#include "board_result.h"
#include "run_options.h"
#include "database.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace station {

class LabelReuse {
public:
    explicit LabelReuse(const RunOptions &options);

    // A board with a label begins its first test, record_id its first
    // record's: the last test of another board with its label that the
    // session knows of, if any. From now on the board is known to the
    // boards after it.
    std::optional<EarlierTest> begin(const BoardResult &board, const std::string &record_id);
    // The same question asked of the --db database; nullopt without one or
    // when it cannot answer (asked again after a pause). It may take a
    // while: a board asks it while it is tested.
    std::optional<EarlierTest> ask_database(const BoardResult &board);
    // A record of the board: later boards with its label see it.
    void finished(const BoardResult &result);
    // The flag of the board that sits at board's slot with label: a board
    // tested again there keeps it.
    std::optional<EarlierTest> flag_of(const Channel &board, const std::string &label);

private:
    struct Use {
        std::string label;
        EarlierTest test;
        std::optional<EarlierTest> flag;
    };
    bool reused_by(const EarlierTest &earlier, const BoardResult &board) const;
    Use *own_use(const Channel &board, const std::string &label); // with mutex_ held

    const RunOptions &options_;
    std::mutex mutex_;
    std::deque<Use> uses_; // oldest first
    std::mutex database_mutex_;
    std::unique_ptr<db::Database> database_;
    std::chrono::steady_clock::time_point quiet_until_; // after a failed question
};

} // namespace station
