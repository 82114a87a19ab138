// The diagnosis in words and as JSON.
#include "render.h"

#include "pin_verdict.h"
#include "printable.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <set>

namespace diagnose {
namespace {

// JSON itself escapes only the C0 controls; DEL and the C1 controls are
// escaped too, so that the document acts on no terminal it is printed on
// and still holds the text as it was read. In well-formed UTF-8 a byte 0xC2
// always leads a character, and outside strings the document is ASCII.
std::string escape_other_controls(const std::string &json)
{
    std::string text;
    for (size_t i = 0; i < json.size(); i++) {
        unsigned byte = static_cast<unsigned char>(json[i]);
        unsigned next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
        char escaped[8];
        if (byte == 0x7F) {
            text += "\\u007f";
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            snprintf(escaped, sizeof escaped, "\\u%04x", next);
            text += escaped;
            i++;
        } else {
            text += json[i];
        }
    }
    return text;
}

// The faults the dictionary names, and how sure: one line each when located,
// every candidate on one line otherwise.
std::string faults_text(const Diagnosis &d)
{
    std::string text;
    switch (d.confidence) {
    case Confidence::none:
        break;
    case Confidence::located:
        for (const Fault &f : d.candidates[0].faults)
            text += "located: " + fault_text(f) + "\n";
        break;
    case Confidence::one_of_n:
        text = confidence_text(d) + ":";
        for (size_t i = 0; i < d.candidates.size(); i++)
            text += (i == 0 ? " " : " | ") + case_text(d.candidates[i]);
        text += "\n";
        break;
    case Confidence::detected_only:
        text = "detected only: no modelled fault, alone or with another on separate nets, reads like this\n";
        break;
    }
    return text;
}

std::string verdict_summary(const Diagnosis &d)
{
    if (d.verdict == Verdict::incomplete) {
        std::string text = companions::printable(d.reason);
        if (d.problem == Problem::inconsistent)
            text += " (errors: " + std::to_string(d.errors.value_or(0)) +
                    ", rows whose halves differ: " + std::to_string(d.failed_rows) + ")";
        return text;
    }
    std::string text = std::string(test_name(*d.test)) + " test, errors: " + std::to_string(d.errors.value_or(0));
    int not_ok = 0, unanswered = 0;
    for (const PinDiagnosis &pin : d.pins)
        not_ok += pin.status != PinStatus::ok;
    for (const Row &row : d.rows)
        unanswered += !row.answered;
    text += not_ok == 0 ? "; every pin ok"
                        : "; " + std::to_string(not_ok) + (not_ok == 1 ? " pin" : " pins") + " not ok";
    if (unanswered > 0)
        text += "; " + std::to_string(unanswered) + (unanswered == 1 ? " row" : " rows") + " without an answer";
    return text;
}

// "13 steps, all pins driven, the receivers read".
std::string steps_text(const std::vector<Step> &steps)
{
    int all_driven = 0, read_back = 0;
    for (const Step &step : steps) {
        all_driven += step.direction == 0xFF;
        read_back += step.read_back;
    }
    std::string text = std::to_string(steps.size()) + " steps";
    if (all_driven == int(steps.size()))
        text += ", all pins driven";
    else
        text += ": " + std::to_string(all_driven) + " with all pins driven, " +
                std::to_string(steps.size() - all_driven) + " with one net driven and the others inputs";
    text += read_back == int(steps.size()) ? "; the receivers and the driven byte read" : "; the receivers read";
    return text;
}

// Each set of cases that read alike, once, in the order of the groups.
std::vector<std::vector<std::string>> alike_sets(const Coverage &c)
{
    std::vector<std::vector<std::string>> sets;
    for (size_t g = 0; g < c.groups.size(); g++)
        for (size_t i = 0; i < c.signatures[g].size(); i++) {
            const CaseSignature &s = c.signatures[g][i];
            if (!s.detected || s.alike.empty() || s.alike.front() < std::make_pair(g, i))
                continue; // shown with the first of its set
            std::vector<std::string> names{case_text(c.groups[g].cases[i])};
            for (auto [og, oi] : s.alike)
                names.push_back(case_text(c.groups[og].cases[oi]));
            sets.push_back(names);
        }
    return sets;
}

std::vector<std::string> undetected(const Coverage &c)
{
    std::vector<std::string> names;
    for (size_t g = 0; g < c.groups.size(); g++)
        for (size_t i = 0; i < c.signatures[g].size(); i++)
            if (!c.signatures[g][i].detected)
                names.push_back(case_text(c.groups[g].cases[i]));
    return names;
}

} // namespace

std::string coverage_words(const Coverage &c, const std::string &set_name)
{
    char line[256];
    std::string text = "pattern set " + set_name + ": " + steps_text(c.steps) + "\n";
    snprintf(line, sizeof line, "%-32s %6s %9s %8s %9s  %s\n", "fault", "faults", "detected", "located",
             "one of N", "confounded with");
    text += line;
    for (const CoverageRow &row : c.rows) {
        std::string with;
        for (const std::string &name : row.confounded_with)
            with += (with.empty() ? "" : "; ") + name;
        snprintf(line, sizeof line, "%-32s %6d %9d %8d %9d  %s\n", row.group.c_str(), row.cases, row.detected,
                 row.located, row.detected - row.located, with.empty() ? "-" : with.c_str());
        text += line;
    }
    text += "located: no other modelled fault reads alike; one of N: N faults read alike, so a\n"
            "diagnosis names them all\n";
    for (const std::vector<std::string> &names : alike_sets(c)) {
        text += "one of " + std::to_string(names.size()) + ":";
        for (size_t i = 0; i < names.size(); i++)
            text += (i == 0 ? " " : " | ") + names[i];
        text += "\n";
    }
    for (const std::string &name : undetected(c))
        text += "not detected: " + name + "\n";
    return text;
}

std::string coverage_json(const Coverage &c, const std::string &set_name)
{
    nlohmann::ordered_json doc;
    doc["patterns"] = set_name;
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const Step &step : c.steps)
        steps.push_back({{"value", step.value}, {"direction", step.direction}, {"read_back", step.read_back}});
    doc["steps"] = steps;
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const CoverageRow &row : c.rows)
        rows.push_back({{"fault", row.group},
                        {"faults", row.cases},
                        {"detected", row.detected},
                        {"located", row.located},
                        {"one_of_n", row.detected - row.located},
                        {"apart_in_group", row.apart_in_group},
                        {"confounded_with", row.confounded_with}});
    doc["rows"] = rows;
    doc["confounded"] = alike_sets(c);
    doc["not_detected"] = undetected(c);
    return doc.dump();
}

const char usage_text[] =
    "Usage: wiretest-diagnose [--json] [--quiet] [FILE]\n"
    "       wiretest-diagnose --coverage [--patterns SET] [--json]\n"
    "Reads the report of one wiretest run (from FILE, or standard input when FILE\n"
    "is absent or -), echoes it, and names the faulty pins and their partners,\n"
    "then the faults with how sure: located, one of N (all listed) or detected\n"
    "only. A station's board report of a planned set (--patterns locate, deep)\n"
    "reads the same.\n"
    "\n"
    "  --json     print one JSON document and nothing else\n"
    "  --quiet    print the diagnosis without the echo of the report\n"
    "  --coverage print the fault dictionary of a pattern set: for each class of\n"
    "             modelled fault, how many it detects, how many it locates (no other\n"
    "             fault reads alike) and which it confounds; then every set of faults\n"
    "             that read alike, and every fault it does not detect\n"
    "  --patterns SET  with --coverage: standard (the wiring test's thirteen patterns,\n"
    "             the default), locate, deep, or bytes in hexadecimal, comma-separated\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status: 0 pass, 1 fail, 2 cannot judge. A fail is a wiring fault among\n"
    "the rows the chip answered. Cannot judge: rows without an answer and no\n"
    "wiring fault among the others (test again), an incomplete, inconsistent or\n"
    "unreadable report, a file that cannot be read, output that could not be\n"
    "written, a usage error.\n";

std::string words(const Diagnosis &d)
{
    std::string text;
    if (d.reports > 1)
        text += "note: the input holds " + std::to_string(d.reports) + " reports; " +
                (d.judged == d.reports ? std::string("the last")
                                       : "the last complete one, report " + std::to_string(d.judged) + ",") +
                " is judged\n";
    if (d.verdict != Verdict::incomplete) {
        std::array<PinVerdict, 8> pins = pin_verdicts(d);
        for (size_t j = 0; j < pins.size(); j++)
            if (pins[j].status != "ok")
                text += "pin " + std::to_string(j) + ": " + pins[j].words + "\n";
        text += faults_text(d);
        if (d.test == Test::short_test)
            text += "note: the short test cannot tell pins 0, 2, 4 and 6 apart, nor pins 1, 3, 5 and 7: "
                    "pins crossed within one of these groups pass it\n";
    }
    std::string verdict = verdict_name(d.verdict);
    for (char &c : verdict)
        c = char(c - 'a' + 'A');
    return text + "verdict: " + verdict + " (" + verdict_summary(d) + ")\n";
}

std::string json(const Diagnosis &d)
{
    nlohmann::ordered_json doc;
    doc["verdict"] = verdict_name(d.verdict);
    if (d.verdict == Verdict::incomplete)
        doc["reason"] = valid_utf8(d.reason);
    if (d.test)
        doc["test"] = test_name(*d.test);
    if (d.errors)
        doc["errors"] = *d.errors;
    if (d.reports > 1) {
        doc["reports"] = d.reports;
        doc["judged"] = d.judged;
    }
    if (d.confidence != Confidence::none)
        doc["faults"] = faults_json(d);
    if (!d.rows.empty()) { // a pass, a fail, or a test whose rows went unanswered
        doc["rows"] = rows_json(d);
        doc["pins"] = pins_json(d);
    }
    return escape_other_controls(doc.dump());
}

nlohmann::ordered_json rows_json(const Diagnosis &d)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const Row &row : d.rows) {
        rows.push_back({{"driven", row.driven}, {"read", row.read}, {"answered", row.answered}});
        if (row.read_back) { // a planned set's row: which pins were driven, and the driven byte read back
            rows.back()["direction"] = row.direction;
            rows.back()["low"] = row.low;
        }
    }
    return rows;
}

nlohmann::ordered_json faults_json(const Diagnosis &d)
{
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const FaultCase &c : d.candidates) {
        nlohmann::ordered_json faults = nlohmann::ordered_json::array();
        for (const Fault &f : c.faults)
            faults.push_back(fault_text(f));
        listed.push_back(faults);
    }
    return {{"confidence", confidence_text(d)}, {"candidates", listed}};
}

nlohmann::ordered_json pins_json(const Diagnosis &d)
{
    nlohmann::ordered_json pins = nlohmann::ordered_json::array();
    for (int j = 0; j < 8; j++)
        pins.push_back({{"pin", j}, {"status", status_name(d.pins[j].status)}, {"with", d.pins[j].with}});
    return pins;
}

std::string valid_utf8(std::string_view text)
{
    std::string valid;
    while (!text.empty()) {
        companions::Utf8Sequence sequence = companions::utf8_sequence(text);
        valid += sequence.valid ? text.substr(0, sequence.length) : std::string_view("\xEF\xBF\xBD"); // U+FFFD
        text.remove_prefix(sequence.length);
    }
    return valid;
}

std::string problem_line(const Diagnosis &d)
{
    switch (d.problem) {
    case Problem::none: return "";
    case Problem::incomplete: return "wiretest-diagnose: incomplete report: " + verdict_summary(d);
    case Problem::inconsistent: return "wiretest-diagnose: inconsistent report: " + verdict_summary(d);
    case Problem::unreadable: return "wiretest-diagnose: unreadable report: " + verdict_summary(d);
    case Problem::unanswered: return "wiretest-diagnose: incomplete test: " + verdict_summary(d);
    }
    return "";
}

} // namespace diagnose
