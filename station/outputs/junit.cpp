// The JUnit XML of a run's boards, for a CI server's test report.
#include "junit.h"

#include "files.h"
#include "sinks.h"

#include "printable.h"

#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace station {

using companions::printable;

std::string junit_xml(const std::vector<BoardResult> &results, const RunContext &context)
{
    using namespace rapidxml;
    xml_document<> doc;
    auto text = [&](const std::string &s) { return doc.allocate_string(s.c_str()); };
    auto element = [&](xml_node<> *parent, const char *name) {
        xml_node<> *node = doc.allocate_node(node_element, name);
        parent->append_node(node);
        return node;
    };
    // Whatever a report held, the file stays well-formed XML.
    auto attribute = [&](xml_node<> *node, const char *name, const std::string &value) {
        node->append_attribute(doc.allocate_attribute(name, text(printable(value))));
    };
    // Some readers show the message attribute, some only the element's text.
    auto described = [&](xml_node<> *node, const std::string &message) {
        attribute(node, "message", message);
        node->value(text(printable(message)));
    };
    // A dut_id shared by several boards names each suite with its board's
    // place too, so that every suite's name is one of its own.
    std::vector<std::string> names;
    for (const BoardResult &result : results) {
        std::string name = printable(result.dut_id());
        size_t sharing = 0;
        for (const BoardResult &other : results)
            sharing += other.dut_id() == result.dut_id();
        if (sharing > 1)
            name += " (" + (result.board.location.empty() ? "-" : result.board.location) + " " +
                    result.board.channel + ")";
        std::string unique = name;
        for (int n = 2; std::find(names.begin(), names.end(), unique) != names.end(); n++)
            unique = name + " #" + std::to_string(n);
        names.push_back(unique);
    }
    auto seconds = [](int64_t millis) {
        char s[32];
        snprintf(s, sizeof s, "%.3f", double(millis) / 1000.0);
        return std::string(s);
    };

    xml_node<> *declaration = doc.allocate_node(node_declaration);
    attribute(declaration, "version", "1.0");
    attribute(declaration, "encoding", "UTF-8");
    doc.append_node(declaration);
    xml_node<> *suites = element(&doc, "testsuites");
    attribute(suites, "name", "wiretest-station");
    int all_tests = 0, all_failures = 0, all_errors = 0, all_skipped = 0;
    int64_t all_millis = 0;
    for (size_t index = 0; index < results.size(); index++) {
        const BoardResult &result = results[index];
        const std::string dut = printable(result.dut_id());
        xml_node<> *suite = element(suites, "testsuite");
        int tests = 0, failures = 0, errors = 0, skipped = 0;
        int64_t millis = result.end_millis - result.start_millis;
        xml_node<> *properties = element(suite, "properties");
        const std::pair<const char *, std::string> property_values[] = {
            {"location", result.board.location},
            {"channel", std::string(1, result.board.channel)},
            {"serial", printable(result.board.serial)},
            {"fixture_id", printable(context.fixture_id)},
            {"slot", printable(result.slot)},
            {"lot", printable(context.lot)},
            {"operator", printable(context.operator_name)}};
        for (const auto &p : property_values) {
            // A line's fields only where the run has them.
            if (p.second.empty() && p.first != property_values[2].first)
                continue;
            xml_node<> *property = element(properties, "property");
            attribute(property, "name", p.first);
            attribute(property, "value", p.second);
        }
        if (result.outcome == Outcome::error) {
            xml_node<> *testcase = element(suite, "testcase");
            attribute(testcase, "name", "test");
            attribute(testcase, "classname", dut);
            attribute(testcase, "time", seconds(millis));
            xml_node<> *error = element(testcase, "error");
            described(error, result.reason);
            attribute(error, "type", "ERROR");
            tests = errors = 1;
        } else {
            const diagnose::PinVerdict unmeasured; // a result whose rows did not run measured no pin
            for (size_t pin = 0; pin < 8; pin++) {
                xml_node<> *testcase = element(suite, "testcase");
                attribute(testcase, "name", "pin " + std::to_string(pin));
                attribute(testcase, "classname", dut);
                attribute(testcase, "time", "0");
                tests++;
                const diagnose::PinVerdict &verdict = pin < result.pins.size() ? result.pins[pin] : unmeasured;
                if (verdict.status == "ok")
                    continue;
                if (!verdict.faulty()) {
                    element(testcase, "skipped");
                    skipped++;
                    continue;
                }
                xml_node<> *failure = element(testcase, "failure");
                described(failure, verdict.words + diagnose::confidence_note(verdict));
                attribute(failure, "type", verdict.fault_class);
                failures++;
            }
        }
        // The counts are known only now; rapidxml keeps attributes in the
        // order they are appended, and name comes first by custom.
        const std::pair<const char *, std::string> suite_attributes[] = {
            {"name", names[index]},
            {"tests", std::to_string(tests)},
            {"failures", std::to_string(failures)},
            {"errors", std::to_string(errors)},
            {"skipped", std::to_string(skipped)},
            {"time", seconds(millis)},
            {"timestamp", utc_time(result.start_millis, "%Y-%m-%dT%H:%M:%S")},
            {"hostname", printable(context.station_id)}};
        for (const auto &a : suite_attributes)
            attribute(suite, a.first, a.second);
        all_tests += tests;
        all_failures += failures;
        all_errors += errors;
        all_skipped += skipped;
        all_millis += millis;
    }
    attribute(suites, "tests", std::to_string(all_tests));
    attribute(suites, "failures", std::to_string(all_failures));
    attribute(suites, "errors", std::to_string(all_errors));
    attribute(suites, "skipped", std::to_string(all_skipped));
    attribute(suites, "time", seconds(all_millis));
    std::string xml;
    rapidxml::print(std::back_inserter(xml), doc, 0);
    return xml;
}

} // namespace station

namespace station {
namespace {

// --junit FILE: written once, after the last board, whole or not at all.
class JUnitFile : public Output {
public:
    const char *sink() const override { return "junit"; }
    JUnitFile(std::string path, const RunContext &context) : path_(std::move(path)), context_(context) {}

    bool start(std::string &why) override { return file_writable(path_, why); }
    bool finished(const FinishedBoard &, std::string &) override { return true; }
    bool end(SessionEnd &session, std::string &why) override
    {
        return write_atomically(path_, junit_xml(session.results, context_), why);
    }

private:
    const std::string path_;
    const RunContext context_;
};

} // namespace

std::unique_ptr<Output> junit_output(const RunOptions &options)
{
    return std::make_unique<JUnitFile>(options.junit_file, options.context);
}

} // namespace station
