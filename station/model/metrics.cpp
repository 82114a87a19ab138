#include "metrics.h"

#include "board_result.h"
#include "fault_model.h"
#include "interrupts.h"
#include "printable.h"
#include "stamps.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <unordered_map>

namespace station::metrics {

const char *const sinks[4] = {"records", "junit", "database", "cycles"};
const char openmetrics_type[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";
const char prometheus_type[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

// A board's test takes milliseconds with --fast, seconds with settle
// waits, minutes as a soak.
const std::array<double, 14> buckets = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300, 1800};

// The boards whose attempts are counted: enough for a day of a busy line;
// the oldest is forgotten first, and a board seen again after it counts
// as a first attempt.
constexpr size_t boards_remembered = 20000;

// An exemplar's labels hold 128 characters at most.
constexpr size_t exemplar_serial_length = 64;

struct Exemplar {
    std::string record_id, serial;
    int64_t millis = 0;
};

struct Counter {
    uint64_t value = 0;
    Exemplar exemplar;
    int64_t created_millis = 0; // when the series began: a scraper tells a restart from a count that fell
};

struct Histogram {
    std::array<uint64_t, buckets.size()> counts{}; // each bucket's own, summed when written
    uint64_t count = 0;
    double sum = 0;
    int64_t created_millis = 0;
};

struct Slot {
    int64_t insertions = 0, rated = 0;
};

struct Registry {
    std::mutex mutex;
    std::string station_id, mode = "normal", patterns = "full", pattern_set;
    int64_t started_millis = 0;
    bool stopping = false;
    std::set<std::string> busy; // slots whose board is under test
    std::map<std::tuple<std::string, std::string, std::string>, Counter> boards; // slot, outcome, attempt
    std::map<std::tuple<std::string, std::string, std::string>, Histogram> times; // mode, patterns, pattern set
    std::map<std::tuple<std::string, int, std::string>, Counter> pin_faults;    // slot, pin, class
    std::map<std::string, Slot> rated_slots;
    std::map<std::string, uint64_t> write_failures;
    bool outbox_known = false;
    long outbox_waiting = 0, outbox_refused = 0;
    int64_t outbox_oldest = 0;
    std::unordered_map<std::string, int> attempts; // by board
    std::deque<std::string> attempts_order;
};

Registry &registry()
{
    static Registry r;
    return r;
}

// Shortest for a bucket's bound ("0.025"), to the microsecond for a sum.
std::string number(double value, int digits = 6)
{
    char text[40];
    snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

std::string seconds(int64_t millis)
{
    char text[32];
    snprintf(text, sizeof text, "%lld.%03lld", (long long)(millis / 1000), (long long)(millis % 1000));
    return text;
}

// A label's value as both formats quote it.
std::string quoted(const std::string &value)
{
    std::string out = "\"";
    for (char c : companions::printable(value)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The board a record is an attempt at, as the report names it: its label,
// else its serial unless another chip has it too; "" for neither: a board
// of its own.
std::string board_key(const BoardResult &result)
{
    if (!result.label.empty())
        return "l:" + result.label;
    return result.board.serial.empty() || result.board.serial_shared ? "" : "s:" + result.board.serial;
}

const char *attempt_name(int attempt) { return attempt <= 1 ? "first" : attempt == 2 ? "second" : "later"; }

// The number of this attempt at its board; with the registry locked.
int count_attempt(Registry &r, const BoardResult &result)
{
    std::string key = board_key(result);
    if (key.empty())
        return 1;
    auto [it, added] = r.attempts.emplace(key, 0);
    if (added) {
        r.attempts_order.push_back(key);
        if (r.attempts_order.size() > boards_remembered) {
            r.attempts.erase(r.attempts_order.front());
            r.attempts_order.pop_front();
        }
    }
    return ++it->second;
}

// A series of counts, begun now where it is new.
template <typename Key, typename Series> Series &series(std::map<Key, Series> &all, const Key &key)
{
    auto [it, added] = all.try_emplace(key);
    if (added)
        it->second.created_millis = now_millis();
    return it->second;
}

class Writer {
public:
    explicit Writer(bool openmetrics) : om_(openmetrics) {}

    // A metric's header. A counter's samples end in _total, which the
    // OpenMetrics family leaves out of its name; an info metric is a
    // gauge in the older format.
    void family(const std::string &name, const char *type, const char *help, const char *unit = nullptr)
    {
        std::string shown = name;
        std::string shown_type = type;
        if (!om_ && shown_type == "counter")
            shown += "_total";
        if (!om_ && shown_type == "info") {
            shown += "_info";
            shown_type = "gauge";
        }
        text_ += "# TYPE " + shown + " " + shown_type + "\n";
        if (om_ && unit)
            text_ += "# UNIT " + shown + " " + unit + "\n";
        text_ += "# HELP " + shown + " " + help + "\n";
    }

    void sample(const std::string &name, const std::string &labels, const std::string &value,
                const Exemplar *exemplar = nullptr)
    {
        text_ += name;
        if (!labels.empty())
            text_ += "{" + labels + "}";
        text_ += " " + value;
        if (om_ && exemplar && !exemplar->record_id.empty()) {
            std::string serial = exemplar->serial.substr(0, exemplar_serial_length);
            text_ += " # {record_id=" + quoted(exemplar->record_id) +
                     (serial.empty() ? "" : ",serial=" + quoted(serial)) + "} 1 " + seconds(exemplar->millis);
        }
        text_ += "\n";
    }

    // When a counter's or a histogram's series began: OpenMetrics only.
    void created(const std::string &family, const std::string &labels, int64_t millis)
    {
        if (om_)
            sample(family + "_created", labels, seconds(millis));
    }

    std::string done() { return om_ ? text_ + "# EOF\n" : text_; }

private:
    bool om_;
    std::string text_;
};

} // namespace

void start(const RunContext &context)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.station_id = context.station_id;
    r.mode = context.fast ? "fast" : context.short_waits ? "delay" : "normal";
    r.patterns = context.short_test ? "short" : "full";
    r.pattern_set = diagnose::pattern_set_name(context.patterns);
    r.started_millis = now_millis();
    r.stopping = false;
}

std::string slot_label(const std::string &slot, const std::string &location)
{
    return slot.empty() ? location : slot;
}

void watched(const std::string &slot)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (Outcome outcome : {Outcome::pass, Outcome::fail, Outcome::error})
        for (int attempt = 1; attempt <= 3; attempt++)
            series(r.boards, {slot, outcome_name(outcome), attempt_name(attempt)}); // 0 unless counted already
}

void testing(const std::string &slot)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.busy.insert(slot);
}

void finished(const BoardResult &result, bool last)
{
    Registry &r = registry();
    const std::string slot = slot_label(result.slot, result.board.location);
    const Exemplar exemplar{result.record_id, result.board.serial, result.end_millis};
    std::lock_guard<std::mutex> lock(r.mutex);
    if (last)
        r.busy.erase(slot);
    Counter &boards = series(r.boards, {slot, outcome_name(result.outcome), attempt_name(count_attempt(r, result))});
    boards.value++;
    boards.exemplar = exemplar;

    Histogram &time = series(r.times, {result.soak ? "soak" : r.mode, r.patterns, r.pattern_set});
    double took = double(std::max<int64_t>(0, result.end_millis - result.start_millis)) / 1000;
    auto bucket = std::lower_bound(buckets.begin(), buckets.end(), took);
    if (bucket != buckets.end())
        time.counts[size_t(bucket - buckets.begin())]++;
    time.count++;
    time.sum += took;

    if (result.outcome == Outcome::fail) {
        std::vector<std::string> statuses = pin_statuses(result);
        for (size_t pin = 0; pin < statuses.size(); pin++)
            if (statuses[pin] != "ok" && statuses[pin] != "untested") {
                Counter &fault = series(r.pin_faults, {slot, int(pin), statuses[pin]});
                fault.value++;
                fault.exemplar = exemplar;
            }
    }
    if (result.rated_cycles > 0)
        r.rated_slots[slot] = {result.insertions, result.rated_cycles};
}

void stopping()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.stopping = true;
}

void write_failed(const char *sink)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.write_failures[sink]++;
}

void outbox(long waiting, int64_t oldest_millis, long refused)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.outbox_known = true;
    r.outbox_waiting = waiting;
    r.outbox_oldest = oldest_millis;
    r.outbox_refused = refused;
}

bool wants_prometheus_text(const std::string &accept)
{
    // Prometheus offers both, OpenMetrics first; a client that names only
    // the older format gets it.
    return accept.find("application/openmetrics-text") == std::string::npos &&
           accept.find("text/plain") != std::string::npos;
}

std::string exposition(bool openmetrics)
{
    Registry &r = registry();
    const int64_t now = now_millis();
    Writer w(openmetrics);
    std::lock_guard<std::mutex> lock(r.mutex);
    const std::string station = "station=" + quoted(r.station_id);

    w.family("wiretest_station_build", "info", "The station's version.");
    w.sample("wiretest_station_build_info", "version=" + quoted(version), "1");
    w.family("wiretest_station_start_time_seconds", "gauge", "When the station started, in Unix time.", "seconds");
    w.sample("wiretest_station_start_time_seconds", "", seconds(r.started_millis));
    w.family("wiretest_station_state", "gauge", "1 for what the station is doing now: waiting, testing or stopping.");
    const char *state = r.stopping || interrupted() ? "stopping" : r.busy.empty() ? "waiting" : "testing";
    for (const char *each : {"waiting", "testing", "stopping"})
        w.sample("wiretest_station_state", "state=" + quoted(each), std::string(each) == state ? "1" : "0");

    w.family("wiretest_station_boards_tested", "counter",
             "Records of boards tested, by slot, outcome and attempt at the board (first, second, later).");
    for (const auto &[key, counter] : r.boards) {
        const auto &[slot, outcome, attempt] = key;
        const std::string labels =
            station + ",slot=" + quoted(slot) + ",outcome=" + quoted(outcome) + ",attempt=" + quoted(attempt);
        w.sample("wiretest_station_boards_tested_total", labels, std::to_string(counter.value), &counter.exemplar);
        w.created("wiretest_station_boards_tested", labels, counter.created_millis);
    }

    w.family("wiretest_station_board_test_seconds", "histogram",
             "Each board's test time, by mode (normal, delay, fast, soak), test length (patterns: full, short) "
             "and pattern set (pattern_set: the record's patterns).",
             "seconds");
    for (const auto &[key, histogram] : r.times) {
        const auto &[mode, length, pattern_set] = key;
        const std::string labels =
            "mode=" + quoted(mode) + ",patterns=" + quoted(length) + ",pattern_set=" + quoted(pattern_set);
        uint64_t below = 0;
        for (size_t i = 0; i < buckets.size(); i++) {
            below += histogram.counts[i];
            w.sample("wiretest_station_board_test_seconds_bucket", labels + ",le=" + quoted(number(buckets[i])),
                     std::to_string(below));
        }
        w.sample("wiretest_station_board_test_seconds_bucket", labels + ",le=\"+Inf\"",
                 std::to_string(histogram.count));
        w.sample("wiretest_station_board_test_seconds_sum", labels, number(histogram.sum, 15));
        w.sample("wiretest_station_board_test_seconds_count", labels, std::to_string(histogram.count));
        w.created("wiretest_station_board_test_seconds", labels, histogram.created_millis);
    }

    w.family("wiretest_station_pin_faults", "counter",
             "Faulty pins of failed boards, by slot, pin (0 to 7) and fault class.");
    for (const auto &[key, counter] : r.pin_faults) {
        const auto &[slot, pin, fault_class] = key;
        const std::string labels =
            "slot=" + quoted(slot) + ",pin=" + quoted(std::to_string(pin)) + ",class=" + quoted(fault_class);
        w.sample("wiretest_station_pin_faults_total", labels, std::to_string(counter.value), &counter.exemplar);
        w.created("wiretest_station_pin_faults", labels, counter.created_millis);
    }

    w.family("wiretest_station_slot_insertions", "gauge", "Insertions counted at a rated slot since its contacts changed.");
    for (const auto &[slot, counts] : r.rated_slots)
        w.sample("wiretest_station_slot_insertions", "slot=" + quoted(slot), std::to_string(counts.insertions));
    w.family("wiretest_station_slot_rated_insertions", "gauge", "The insertions a slot's contacts are rated for.");
    for (const auto &[slot, counts] : r.rated_slots)
        w.sample("wiretest_station_slot_rated_insertions", "slot=" + quoted(slot), std::to_string(counts.rated));

    if (r.outbox_known) {
        w.family("wiretest_station_outbox_records", "gauge", "Records waiting in the outbox for the line's database.");
        w.sample("wiretest_station_outbox_records", "", std::to_string(r.outbox_waiting));
        w.family("wiretest_station_outbox_oldest_age_seconds", "gauge",
                 "How long ago the oldest record waiting in the outbox finished; 0 when none waits.", "seconds");
        w.sample("wiretest_station_outbox_oldest_age_seconds", "",
                 number(r.outbox_oldest > 0 ? double(std::max<int64_t>(0, now - r.outbox_oldest)) / 1000 : 0));
        w.family("wiretest_station_outbox_refused_records", "gauge",
                 "Records the line's database refused, set aside in the outbox.");
        w.sample("wiretest_station_outbox_refused_records", "", std::to_string(r.outbox_refused));
    }

    w.family("wiretest_station_write_failures", "counter",
             "Writes that failed, by sink: records, junit, database, cycles.");
    for (const char *sink : sinks) {
        auto it = r.write_failures.find(sink);
        w.sample("wiretest_station_write_failures_total", "sink=" + quoted(sink),
                 std::to_string(it == r.write_failures.end() ? 0 : it->second));
        w.created("wiretest_station_write_failures", "sink=" + quoted(sink), r.started_millis); // shown from the start
    }
    return w.done();
}

void reset()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.busy.clear();
    r.boards.clear();
    r.times.clear();
    r.pin_faults.clear();
    r.rated_slots.clear();
    r.write_failures.clear();
    r.outbox_known = r.stopping = false;
    r.attempts.clear();
    r.attempts_order.clear();
}

} // namespace station::metrics
