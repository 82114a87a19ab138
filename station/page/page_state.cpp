#include "page_state.h"

#include "printable.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace station::page {

namespace {

// Text from a board or a scanner goes to the page as text only (the page
// sets it with textContent), and printable, as on the terminal.
std::string text(const std::string &s) { return companions::printable(s); }

// A pin as the page draws it: its status and fault, where the fault is, and
// how sure; the words as a tooltip.
nlohmann::json pin_json(const diagnose::PinVerdict &v)
{
    return {{"status", v.status},
            {"class", v.fault_class},
            {"partner", v.partners},
            {"confidence", diagnose::confidence_text(v)},
            {"candidates", v.candidates},
            {"words", v.words}};
}

} // namespace

PageState::PageState(Identity identity) : identity_(std::move(identity)) {}

PageState::Tile &PageState::tile(const std::string &location, char channel, const std::string &slot)
{
    for (Tile &t : tiles_)
        if (t.location == location && t.channel == channel)
            return t;
    Tile t;
    t.location = location;
    t.channel = channel;
    t.slot = slot;
    tiles_.push_back(std::move(t));
    return tiles_.back();
}

void PageState::changed()
{
    version_++;
    if (watcher_)
        watcher_();
}

void PageState::apply(const SlotEvent &event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Tile &t = tile(event.location, event.channel, event.slot);
    switch (event.kind) {
    case SlotEvent::watched:
        break;
    case SlotEvent::label_waiting:
        t.label_waiting = text(event.label);
        break;
    case SlotEvent::testing:
        // A new board or attempt: the board before it and its result give way.
        if (t.state != "testing" || t.attempt != event.attempt || t.serial != text(event.serial)) {
            std::string waiting = t.label_waiting;
            Tile fresh;
            fresh.location = t.location;
            fresh.channel = t.channel;
            fresh.slot = t.slot;
            fresh.counted = t.counted; // a retest on request counts in its place
            t = fresh;
            t.state = "testing";
            t.serial = text(event.serial);
            t.dut_id = text(!event.label.empty() ? event.label : !event.serial.empty() ? event.serial : event.location);
            // A label scanned for the slot's next board stays: this board's came with the event.
            t.label_waiting = event.label.empty() ? waiting : "";
        }
        t.attempt = event.attempt;
        t.row = event.row;
        t.soak = event.soak;
        t.runs = event.runs;
        t.failed_runs = event.failed_runs;
        break;
    }
    changed();
}

void PageState::apply(const BoardResult &result, bool last, bool replaces)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Channel &b = result.board;
    Tile &t = tile(b.location, b.channel, result.slot);
    t.state = outcome_name(result.outcome);
    t.serial = text(b.serial);
    t.dut_id = text(result.dut_id());
    t.attempt = result.attempt;
    t.runs = result.soak ? result.soak->runs : 0;
    t.soak = bool(result.soak);
    t.faults.clear();
    if (result.outcome == Outcome::fail)
        for (const std::string &line : pin_lines(result))
            t.faults.push_back(text(line));
    t.pins = result.pins;
    t.reason = result.outcome == Outcome::error ? text(result.reason) : "";
    t.advice = result.outcome == Outcome::error ? what_to_do(result.reason) : "";
    t.cycle_note = text(result.cycle_note);
    t.label_reused = text(label_reused_note(result));
    const identity::Outcome *id = result.identity ? &*result.identity : nullptr;
    const bool programmed = id && !id->failure.failed() && ((id->written && id->verified) || id->kept);
    t.eeprom_serial = programmed ? text(id->serial_after) : "";
    t.serial_kept = programmed && id->kept;
    t.finished_millis = result.end_millis;

    recent_.push_front({result.end_millis, t.slot, b.location, t.dut_id, t.state, b.channel, result.attempt});
    if (recent_.size() > recent_kept)
        recent_.pop_back();
    if (last) {
        // As the summary line: a board tested again where it sits counts once.
        if (replaces && !t.counted.empty()) {
            tested_--;
            passed_ -= t.counted == "PASS";
            failed_ -= t.counted == "FAIL";
            errors_ -= t.counted == "ERROR";
        }
        tested_++;
        passed_ += result.outcome == Outcome::pass;
        failed_ += result.outcome == Outcome::fail;
        errors_ += result.outcome == Outcome::error;
        t.counted = t.state;
    }
    changed();
}

void PageState::first_pass_today(std::optional<double> yield)
{
    std::lock_guard<std::mutex> lock(mutex_);
    first_pass_today_ = yield;
    changed();
}

void PageState::station_fault(const std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string shown = text(why);
    faults_.erase(std::remove(faults_.begin(), faults_.end(), shown), faults_.end());
    faults_.push_back(shown);
    if (faults_.size() > faults_kept)
        faults_.pop_front();
    changed();
}

void PageState::session_ended()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed();
}

std::string PageState::json(uint64_t &version)
{
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json slots = nlohmann::json::array();
    for (const Tile &t : tiles_) {
        nlohmann::json pins = nlohmann::json::array();
        for (const diagnose::PinVerdict &pin : t.pins)
            pins.push_back(pin_json(pin));
        nlohmann::json shown = {
            {"location", t.location},   {"channel", std::string(1, t.channel)},
            {"slot", text(t.slot)},     {"state", t.state},
            {"serial", t.serial},       {"dut_id", t.dut_id},
            {"label_waiting", t.label_waiting},
            {"attempt", t.attempt},     {"row", t.row},
            {"rows", identity_.rows},   {"soak", t.soak},
            {"runs", t.runs},           {"failed_runs", t.failed_runs},
            {"faults", t.faults},
            {"pins", pins},
            {"reason", t.reason},       {"advice", t.advice},
            {"cycle_note", t.cycle_note},
            {"label_reused", t.label_reused},
            {"eeprom_serial", t.eeprom_serial},
            {"serial_kept", t.serial_kept},
            {"finished_millis", t.finished_millis},
        };
        slots.push_back(std::move(shown));
    }
    nlohmann::json recent = nlohmann::json::array();
    for (const Recent &r : recent_)
        recent.push_back({{"time_millis", r.millis},
                          {"slot", text(r.slot)},
                          {"location", r.location},
                          {"channel", std::string(1, r.channel)},
                          {"dut_id", r.dut_id},
                          {"outcome", r.outcome},
                          {"attempt", r.attempt}});
    nlohmann::json counters = {{"tested", tested_}, {"passed", passed_}, {"failed", failed_}, {"errors", errors_}};
    // Yields 0 to 1, as the report gives them.
    counters["yield"] = tested_ ? nlohmann::json(double(passed_) / tested_) : nlohmann::json(nullptr);
    counters["first_pass_yield_today"] = first_pass_today_ ? nlohmann::json(*first_pass_today_) : nlohmann::json(nullptr);
    nlohmann::json state = {
        {"station_id", text(identity_.station_id)},
        {"version", identity_.version},
        {"fixture_id", text(identity_.fixture_id)},
        {"session_ended", ended_},
        {"station_faults", faults_},
        {"slots", std::move(slots)},
        {"counters", std::move(counters)},
        {"last_results", std::move(recent)},
    };
    version = version_;
    return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

uint64_t PageState::version()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

void PageState::watch(std::function<void()> changed)
{
    std::lock_guard<std::mutex> lock(mutex_);
    watcher_ = std::move(changed);
}

} // namespace station::page
