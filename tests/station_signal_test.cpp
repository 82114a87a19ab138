// build/wiretest-station-sim left running as a line leaves it: boards that
// hang or crash, signals to the station alone and to its whole process
// group, and a reader of its output that goes away. Every board keeps its
// line and its record, and the station ends.
#include "process.h"
#include "sim_station.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <unistd.h>

#ifdef WIRETEST_DATABASES
#include <sqlite3.h>
#endif

namespace {

namespace fs = std::filesystem;

const std::string program = WIRETEST_STATION_SIM;

long count_files(const fs::path &dir)
{
    return fs::exists(dir) ? std::distance(fs::directory_iterator(dir), fs::directory_iterator()) : 0;
}

// The processes a station started for its boards, from any of its threads,
// once each runs the board's test: a child still inside posix_spawn shares
// the station's memory, and a signal meant for a board would hold up the
// station's spawning thread instead.
std::vector<pid_t> boards_of(pid_t station)
{
    std::vector<pid_t> pids;
    for (pid_t pid : children_of(station)) {
        std::string command_line = read_file("/proc/" + std::to_string(pid) + "/cmdline");
        if (command_line.find(std::string("--board\0", 8)) != std::string::npos)
            pids.push_back(pid);
    }
    return pids;
}

// Waits until the station has started n boards' processes (or 20 s pass).
std::vector<pid_t> wait_for_boards(pid_t station, size_t n)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<pid_t> pids;
    while ((pids = boards_of(station)).size() < n && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pids;
}

// Waits until each process has written at least bytes (or ends): a
// soak well under way.
void wait_for_writes(const std::vector<pid_t> &pids, long long bytes)
{
    for (pid_t pid : pids)
        (void)wait_for_written(pid, bytes);
}

// Waits until each process is blocked writing to a full pipe (or 20 s pass).
void wait_until_blocked_writing(const std::vector<pid_t> &pids)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (pid_t pid : pids) {
        for (std::string where; std::chrono::steady_clock::now() < deadline;) {
            std::ifstream("/proc/" + std::to_string(pid) + "/wchan") >> where;
            if (where.find("pipe_w") != std::string::npos) // pipe_write, anon_pipe_write, pipe_wait
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

class StationSignals : public ::testing::Test {
protected:
    TempDir temp_{"wiretest-signals"};
    fs::path dir_ = temp_.path;

    // The station in a process group of its own, as a service manager or a
    // shell's job starts it, with its standard error into a file.
    process::Live start_station(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>\"$WIRETEST_ERR\"", "/usr/bin/setsid", program};
        all.insert(all.end(), args.begin(), args.end());
        return process::start("/bin/sh", all, {"WIRETEST_ERR=" + (dir_ / "stderr").string()});
    }
};

TEST_F(StationSignals, AHungBoardEndsAtItsDeadlineAndAKilledOneNamesItsSignalWhileTheOthersFinish)
{
    // Seven soaks of 2 s; one board stopped for good, one killed, then a
    // Ctrl-C: the others end after the run under way, the stopped one at
    // its deadline, and every board has its line, its record and its suite.
    fs::path records = dir_ / "records", junit = dir_ / "run.xml";
    process::Live live = start_station({"--all", "--fast", "--duration", "2", "--board-timeout", "6", "--records",
                                        records.string(), "--junit", junit.string()});
    std::vector<pid_t> boards = wait_for_boards(live.pid, 7);
    ASSERT_EQ(boards.size(), 7u);
    auto stopped_at = std::chrono::steady_clock::now();
    kill(boards[0], SIGSTOP);
    kill(boards[1], SIGKILL);
    kill(live.pid, SIGINT);
    process::Result r = process::finish(live, 30000);
    auto took = std::chrono::steady_clock::now() - stopped_at;

    EXPECT_EQ(r.exit_status, 3); // an ERROR: test again
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 8u) << r.out;
    EXPECT_EQ(lines.back().rfind("boards: 7, ", 0), 0u) << lines.back();
    int hung = 0, crashed = 0;
    for (const std::string &line : lines) {
        hung += line.find(": the test did not finish in 6 s") != std::string::npos;
        crashed += line.find(": the test ended without its report (killed by SIGKILL)") != std::string::npos;
    }
    EXPECT_EQ(hung, 1) << r.out;
    EXPECT_EQ(crashed, 1) << r.out;
    EXPECT_GE(took, std::chrono::seconds(4)); // the deadline counts from the board's start
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_TRUE(std::regex_search(read_file(dir_ / "stderr"),
                                  std::regex("wiretest-station: finishing [1-7] boards?; Ctrl-C again stops at "
                                             "once, without their records\n")))
        << read_file(dir_ / "stderr");
    EXPECT_EQ(count_files(records), 7);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(junit.c_str()));
    EXPECT_EQ(doc.child("testsuites").attribute("errors").as_int(), 2);
}

TEST_F(StationSignals, ABoardThatPrintsOnPastItsDeadlineIsEndedAllTheSame)
{
    // A soak longer than its deadline prints rows all the while.
    auto began = std::chrono::steady_clock::now();
    process::Result r = process::run(program, {"--port", "1-1", "--fast", "--duration", "60", "--board-timeout", "2"},
                                     std::nullopt, {}, 30000);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("ERROR 1-1 A WTST0001 runs: [0-9]+: the test did not finish "
                                                      "in 2 s")))
        << lines[0];
    EXPECT_EQ(r.exit_status, 3);
}

TEST_F(StationSignals, ASignalToEveryProcessEndsEachSoakWithARecordOfItsRuns)
{
    // As systemd stops a service: the signal to the station's group and to
    // each board's process. No board may take it for a failure.
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        process::Live live = start_station({"--all", "--fast", "--duration", "60", "--json"});
        std::vector<pid_t> boards = wait_for_boards(live.pid, 7);
        ASSERT_EQ(boards.size(), 7u);
        wait_for_writes(boards, 100000); // in the middle of their rows
        // The station held still until every board waits on a full pipe:
        // the signal comes in the middle of a row's write.
        kill(live.pid, SIGSTOP);
        wait_until_blocked_writing(boards);
        kill(-live.pid, signal);
        for (pid_t board : boards)
            kill(board, signal);
        kill(live.pid, SIGCONT);
        process::Result r = process::finish(live, 15000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 1); // 1-2 and 1-3.2 are wired wrong; nothing else
        std::vector<std::string> lines = process::lines_of(r.out);
        ASSERT_EQ(lines.size(), 7u) << r.out;
        for (const std::string &line : lines) {
            nlohmann::json record = nlohmann::json::parse(line);
            EXPECT_NE(record["outcome"], "ERROR") << line;
            EXPECT_GE(record["runs"].get<int>(), 1) << line;
        }
    }
}

TEST_F(StationSignals, AReaderThatGoesAwayIsLostOutputNotTheEndOfTheStation)
{
    // `wiretest-station ... | tee log` and the tee killed: the boards still
    // get their records and the run its JUnit file, and the status says
    // that output was lost.
    fs::path records = dir_ / "records", junit = dir_ / "run.xml", status = dir_ / "status";
    process::Result r = process::run(
        "/bin/sh",
        {"-c", "{ \"$0\" --all --delay --records \"$1\" --junit \"$2\"; echo $? >\"$3\"; } | true", program,
         records.string(), junit.string(), status.string()});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(status), "2\n");
    EXPECT_NE(r.err.find("ERROR: can not write to standard output"), std::string::npos) << r.err;
    EXPECT_EQ(count_files(records), 7);
    EXPECT_TRUE(fs::exists(junit));
}

TEST_F(StationSignals, ALineLoopWhoseRecordsCannotBeWrittenStopsAfterTheBoardsUnderTest)
{
    // The records folder turns into a file after the first board's record
    // (a disk that went away): the second board's record is lost, and the
    // loop tests no third board, though one is plugged in.
    // The second board comes once the folder is gone, the third once the
    // station has said that it tests no more.
    fs::path records = dir_ / "records", control = dir_ / "control";
    std::ofstream(control) << "plug 1-1=1-1\n";
    auto command = [&](const std::string &line) { std::ofstream(control, std::ios::app) << line << std::flush; };
    process::Live live = start_station(
        {"--wait", "--fast", "--count", "3", "--records", records.string(), "--sim-control", control.string()});
    process::read_until(live, "PASS 1-1 A WTST0001 errors: 0\n", 10000);
    fs::remove_all(records);
    std::ofstream(records) << "not a folder";
    command("plug 1-2=1-4\n");
    EXPECT_TRUE(wait_for_file_to_hold((dir_ / "stderr").string(), "no more boards are tested"));
    command("plug 1-3.1=1-5\n");
    process::Result r = process::finish(live, 15000);
    EXPECT_EQ(r.exit_status, 2); // the station could not do its job
    std::vector<std::string> lines = process::lines_of(r.out);
    EXPECT_EQ(lines, (std::vector<std::string>{"PASS 1-1 A WTST0001 errors: 0", "PASS 1-2 A WTST0005 errors: 0",
                                               "boards: 2, passed: 2, failed: 0, errors: 0"}))
        << r.out;
    std::string err = read_file(dir_ / "stderr");
    EXPECT_NE(err.find("wiretest-station: cannot write "), std::string::npos) << err;
    EXPECT_NE(err.find("wiretest-station: records are not being written: no more boards are tested\n"),
              std::string::npos)
        << err;
}

#ifdef WIRETEST_DATABASES
// Waits until the process has taken signal in (none pending), or 20 s pass.
bool taken_in(pid_t pid, int signal)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const unsigned long long bit = 1ull << (signal - 1);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        unsigned long long pending = 0;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
                pending |= std::stoull(line.substr(7), nullptr, 16);
        if (!(pending & bit))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST_F(StationSignals, ASecondSignalWhileARecordWaitsOnALockedDatabaseKeepsTheBoardThatHadFinished)
{
    // The board finishes while another writer holds the database: its
    // record waits. Two SIGTERMs then come, one after the other has been
    // taken in; the station ends at once after the record is written, and
    // the board keeps its line and its row.
    fs::path db = dir_ / "line.db", records = dir_ / "records", control = dir_ / "control";
    std::ofstream(control) << "";
    process::Live live = start_station({"--wait", "--fast", "--records", records.string(), "--db",
                                        "sqlite:" + db.string(), "--sim-control", control.string()});
    sqlite3 *holder = nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool schema = false; // made by the station at its start
    while (!schema && std::chrono::steady_clock::now() < deadline) {
        if (!holder && sqlite3_open_v2(db.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(holder); // not there yet
            holder = nullptr;
        }
        if (holder)
            schema = sqlite3_exec(holder, "SELECT version FROM schema_version", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!schema)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(schema);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::ofstream(control, std::ios::app) << "plug 1-1=1-1\n" << std::flush;
    while (count_files(records) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(count_files(records), 1); // its record file written, its row waiting on the lock

    kill(live.pid, SIGTERM);
    ASSERT_TRUE(taken_in(live.pid, SIGTERM));
    kill(live.pid, SIGTERM);
    ASSERT_TRUE(taken_in(live.pid, SIGTERM));
    ASSERT_EQ(sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);

    process::Result r = process::finish(live, 20000);
    EXPECT_EQ(r.exit_status, 130);
    EXPECT_EQ(process::lines_of(r.out), (std::vector<std::string>{"PASS 1-1 A WTST0001 errors: 0"})) << r.out;
    sqlite3_stmt *count = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(holder, "SELECT COUNT(*) FROM boards", -1, &count, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 1);
    sqlite3_finalize(count);
    sqlite3_close(holder);
}
#endif

} // namespace
