// The harness's nets with their faults, and the dictionary of a pattern set.
#include "fault_model.h"

#include "test_driver/wiring_patterns.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace diagnose {
namespace {

int bit(uint8_t byte, int pin) { return (byte >> pin) & 1; }

bool is_bridge(FaultClass kind)
{
    switch (kind) {
    case FaultClass::bridge_and: case FaultClass::bridge_or: case FaultClass::bridge_dominant:
    case FaultClass::bridge_resistive: case FaultClass::bridge3_and: case FaultClass::bridge3_or:
        return true;
    default:
        return false;
    }
}

int nets_touched(FaultClass kind)
{
    switch (kind) {
    case FaultClass::stuck_0: case FaultClass::stuck_1:
    case FaultClass::open_pulled_up: case FaultClass::open_floating:
        return 1;
    case FaultClass::bridge3_and: case FaultClass::bridge3_or:
        return 3;
    default:
        return 2;
    }
}

// Bridged nets take one level from their drivers: a driver overpowers a weak
// pull-up, and nets no driver holds read the pull-ups' 1.
void apply_bridge(const Fault &f, const std::array<int, 8> &drive, std::array<int, 8> &net)
{
    int count = nets_touched(f.kind);
    std::vector<int> levels;
    for (int i = 0; i < count; i++)
        if (drive[f.nets[i]] >= 0)
            levels.push_back(drive[f.nets[i]]);
    if (f.kind == FaultClass::bridge_resistive && levels.size() == 2)
        return; // each follows its own driver
    int level = 1;
    if (f.kind == FaultClass::bridge_dominant && drive[f.nets[0]] >= 0)
        level = drive[f.nets[0]];
    else if (f.kind == FaultClass::bridge_and || f.kind == FaultClass::bridge3_and)
        level = levels.empty() ? 1 : *std::min_element(levels.begin(), levels.end());
    else if (!levels.empty())
        level = *std::max_element(levels.begin(), levels.end()); // OR, or the one driver there is
    for (int i = 0; i < count; i++)
        net[f.nets[i]] = level;
}

std::string nets_text(const Fault &f)
{
    int count = nets_touched(f.kind);
    if (count == 1)
        return "net " + std::to_string(f.nets[0]);
    std::string text = "nets " + std::to_string(f.nets[0]);
    for (int i = 1; i < count; i++)
        text += (i + 1 == count ? " and " : ", ") + std::to_string(f.nets[i]);
    return text;
}

FaultCase single(FaultClass kind, int a, int b = 0, int c = 0) { return {{Fault{kind, {a, b, c}}}}; }

// Every fault of a class: on each net, each pair, each ordered pair or each triple.
std::vector<FaultCase> every(FaultClass kind)
{
    std::vector<FaultCase> cases;
    bool ordered = kind == FaultClass::bridge_dominant || kind == FaultClass::misroute;
    for (int a = 0; a < 8; a++) {
        if (nets_touched(kind) == 1) {
            cases.push_back(single(kind, a));
            continue;
        }
        for (int b = ordered ? 0 : a + 1; b < 8; b++) {
            if (b == a)
                continue;
            if (nets_touched(kind) == 2)
                cases.push_back(single(kind, a, b));
            else
                for (int c = b + 1; c < 8; c++)
                    cases.push_back(single(kind, a, b, c));
        }
    }
    return cases;
}

// Two bridges of a class on four separate nets, each unordered pair of them once.
std::vector<FaultCase> two_separate(FaultClass kind)
{
    std::vector<FaultCase> pairs = every(kind), cases;
    for (size_t i = 0; i < pairs.size(); i++)
        for (size_t j = i + 1; j < pairs.size(); j++) {
            const Fault &p = pairs[i].faults[0], &q = pairs[j].faults[0];
            if (p.nets[0] != q.nets[0] && p.nets[0] != q.nets[1] && p.nets[1] != q.nets[0] && p.nets[1] != q.nets[1])
                cases.push_back({{p, q}});
        }
    return cases;
}

std::vector<Observation> observations(const std::vector<Fault> &faults, const std::vector<Step> &steps)
{
    std::vector<Observation> seen;
    seen.reserve(steps.size());
    for (const Step &step : steps)
        seen.push_back(observe(faults, step));
    return seen;
}

// Whether the faults read as observed, step by step: most candidates part
// from the observations within a step or two.
bool reads_as(const std::vector<Fault> &faults, const std::vector<Step> &steps,
              const std::vector<Observation> &observed)
{
    for (size_t i = 0; i < steps.size(); i++)
        if (!(observe(faults, steps[i]) == observed[i]))
            return false;
    return true;
}

unsigned nets_of(const Fault &f)
{
    unsigned mask = 0;
    for (int i = 0; i < nets_touched(f.kind); i++)
        mask |= 1u << f.nets[i];
    return mask;
}

} // namespace

const char *pattern_set_name(PatternSet set)
{
    switch (set) {
    case PatternSet::standard: return "standard";
    case PatternSet::locate: return "locate";
    case PatternSet::deep: return "deep";
    }
    return "";
}

std::optional<PatternSet> pattern_set_named(std::string_view name)
{
    for (PatternSet set : {PatternSet::standard, PatternSet::locate, PatternSet::deep})
        if (name == pattern_set_name(set))
            return set;
    return std::nullopt;
}

std::vector<Step> pattern_steps(PatternSet set)
{
    std::vector<Step> steps;
    if (set == PatternSet::standard) {
        for (unsigned char pattern : wiring_patterns)
            steps.push_back({pattern, 0xFF, false});
        return steps;
    }
    // Walking ones keep the rows readable; the six constant-weight patterns
    // give each net three ones in a different three places, which tells
    // every modelled single and double fault apart.
    for (int pin = 0; pin < 8; pin++)
        steps.push_back({uint8_t(1u << pin), 0xFF, true});
    for (uint8_t pattern : {0x86, 0xAD, 0x31, 0x5E, 0xE8, 0x53})
        steps.push_back({pattern, 0xFF, true});
    if (set == PatternSet::deep) // one net pulls low alone; the others show who follows it
        for (int pin = 0; pin < 8; pin++)
            steps.push_back({0x00, uint8_t(1u << pin), true});
    return steps;
}

std::vector<Step> pattern_steps_from_text(std::string_view text)
{
    std::vector<Step> steps;
    while (!text.empty()) {
        size_t end = std::min(text.find(','), text.size());
        std::string item(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        char *rest = nullptr;
        unsigned long value = item.empty() ? 256 : strtoul(item.c_str(), &rest, 16);
        if (value > 255 || *rest != '\0')
            return {};
        steps.push_back({uint8_t(value), 0xFF, false});
    }
    return steps;
}

Observation observe(const std::vector<Fault> &faults, const Step &step)
{
    std::array<int, 8> drive{}, net{}, source{};
    for (int i = 0; i < 8; i++) {
        drive[i] = bit(step.direction, i) ? bit(step.value, i) : -1;
        net[i] = drive[i] >= 0 ? drive[i] : 1; // an undriven net follows the pull-ups
        source[i] = i;
    }
    for (const Fault &f : faults)
        if (is_bridge(f.kind))
            apply_bridge(f, drive, net);
    for (const Fault &f : faults) {
        if (f.kind == FaultClass::stuck_0 || f.kind == FaultClass::stuck_1)
            net[f.nets[0]] = f.kind == FaultClass::stuck_1;
        if (f.kind == FaultClass::crossed)
            std::swap(source[f.nets[0]], source[f.nets[1]]);
        if (f.kind == FaultClass::misroute)
            source[f.nets[1]] = f.nets[0];
    }
    Observation seen;
    for (int j = 0; j < 8; j++) {
        int level = net[source[j]];
        for (const Fault &f : faults)
            if (f.nets[0] == j && (f.kind == FaultClass::open_pulled_up || f.kind == FaultClass::open_floating))
                level = f.kind == FaultClass::open_pulled_up;
        seen.high |= uint8_t(level << j);
        if (step.read_back)
            seen.low |= uint8_t(net[j] << j);
    }
    return seen;
}

const char *fault_class_name(FaultClass kind)
{
    switch (kind) {
    case FaultClass::stuck_0: return "stuck-0";
    case FaultClass::stuck_1: return "stuck-1";
    case FaultClass::open_pulled_up: return "open, input pulled up";
    case FaultClass::open_floating: return "open, input floating";
    case FaultClass::bridge_and: return "bridge, wired-AND";
    case FaultClass::bridge_or: return "bridge, wired-OR";
    case FaultClass::bridge_dominant: return "bridge, dominant";
    case FaultClass::bridge_resistive: return "resistive bridge";
    case FaultClass::crossed: return "crossed pair";
    case FaultClass::misroute: return "misroute";
    case FaultClass::bridge3_and: return "bridge of three nets, wired-AND";
    case FaultClass::bridge3_or: return "bridge of three nets, wired-OR";
    }
    return "";
}

std::vector<int> fault_nets(const Fault &fault)
{
    return std::vector<int>(fault.nets.begin(), fault.nets.begin() + nets_touched(fault.kind));
}

std::string fault_text(const Fault &f)
{
    switch (f.kind) {
    case FaultClass::bridge_dominant:
        return std::string(fault_class_name(f.kind)) + ": net " + std::to_string(f.nets[0]) + " wins over net " +
               std::to_string(f.nets[1]);
    case FaultClass::misroute:
        return std::string(fault_class_name(f.kind)) + ": receiver " + std::to_string(f.nets[1]) +
               " fed by net " + std::to_string(f.nets[0]);
    default:
        return std::string(fault_class_name(f.kind)) + " on " + nets_text(f);
    }
}

std::string case_text(const FaultCase &c)
{
    std::string text;
    for (const Fault &f : c.faults)
        text += (text.empty() ? "" : " + ") + fault_text(f);
    return text;
}

std::vector<FaultGroup> modelled_faults()
{
    std::vector<FaultGroup> groups;
    for (FaultClass kind : {FaultClass::stuck_0, FaultClass::stuck_1, FaultClass::open_pulled_up,
                            FaultClass::open_floating, FaultClass::bridge_and, FaultClass::bridge_or,
                            FaultClass::bridge_dominant, FaultClass::crossed, FaultClass::misroute,
                            FaultClass::bridge_resistive})
        groups.push_back({fault_class_name(kind), every(kind)});
    groups.push_back({"two separate wired-AND bridges", two_separate(FaultClass::bridge_and)});
    groups.push_back({"two separate wired-OR bridges", two_separate(FaultClass::bridge_or)});
    groups.push_back({fault_class_name(FaultClass::bridge3_and), every(FaultClass::bridge3_and)});
    groups.push_back({fault_class_name(FaultClass::bridge3_or), every(FaultClass::bridge3_or)});
    return groups;
}

Coverage coverage(const std::vector<Step> &steps, std::vector<FaultGroup> groups)
{
    Coverage result;
    result.steps = steps;
    result.groups = std::move(groups);
    std::vector<Observation> good = observations({}, steps);
    // Cases that read alike share a key: their observations, step by step.
    auto key = [](const std::vector<Observation> &seen) {
        std::string text;
        for (const Observation &o : seen)
            text += char(o.high), text += char(o.low);
        return text;
    };
    std::map<std::string, std::vector<std::pair<size_t, size_t>>> alike;
    for (size_t g = 0; g < result.groups.size(); g++)
        for (size_t i = 0; i < result.groups[g].cases.size(); i++)
            alike[key(observations(result.groups[g].cases[i].faults, steps))].push_back({g, i});

    std::string good_key = key(good);
    result.signatures.resize(result.groups.size());
    for (const auto &[signature, members] : alike)
        for (auto [g, i] : members) {
            CaseSignature s{g, i, signature != good_key, {}};
            for (auto other : members)
                if (other != std::make_pair(g, i))
                    s.alike.push_back(other);
            result.signatures[g].resize(result.groups[g].cases.size());
            result.signatures[g][i] = s;
        }

    for (size_t g = 0; g < result.groups.size(); g++) {
        CoverageRow row{result.groups[g].name, int(result.groups[g].cases.size()), 0, 0, 0, {}};
        for (const CaseSignature &s : result.signatures[g]) {
            if (!s.detected)
                continue;
            row.detected++;
            row.located += s.alike.empty();
            row.apart_in_group += std::none_of(s.alike.begin(), s.alike.end(), [g](auto o) { return o.first == g; });
            for (auto [other_group, unused] : s.alike) {
                const std::string &name = result.groups[other_group].name;
                if (std::find(row.confounded_with.begin(), row.confounded_with.end(), name) ==
                    row.confounded_with.end())
                    row.confounded_with.push_back(name);
            }
        }
        result.rows.push_back(row);
    }
    return result;
}

std::vector<FaultCase> candidates(const std::vector<Step> &steps, const std::vector<Observation> &observed)
{
    std::vector<FaultCase> found;
    std::vector<Observation> good = observations({}, steps);
    if (observed.size() != steps.size() || observed == good)
        return found;
    // The fewest faults that explain the reads: one fault of any class, else
    // two on separate nets. Any fault read with a second that these steps
    // cannot see (a resistive bridge) reads as the first alone, so a pair is
    // looked for only when no single fault fits.
    static const std::vector<Fault> singles = [] { // built once, read by any thread
        std::vector<Fault> all;
        for (const FaultGroup &group : modelled_faults())
            if (group.cases[0].faults.size() == 1)
                for (const FaultCase &c : group.cases)
                    all.push_back(c.faults[0]);
        return all;
    }();
    for (const Fault &f : singles)
        if (reads_as({f}, steps, observed))
            found.push_back({{f}});
    if (!found.empty())
        return found;
    // A fault changes what only the nets it touches read: a pair must touch
    // every net that reads wrong.
    unsigned wrong = 0;
    for (size_t i = 0; i < steps.size(); i++)
        wrong |= unsigned(observed[i].high ^ good[i].high) | unsigned(observed[i].low ^ good[i].low);
    for (size_t i = 0; i < singles.size(); i++)
        for (size_t j = i + 1; j < singles.size(); j++) {
            unsigned a = nets_of(singles[i]), b = nets_of(singles[j]);
            if (!(a & b) && (wrong & ~(a | b)) == 0 && reads_as({singles[i], singles[j]}, steps, observed))
                found.push_back({{singles[i], singles[j]}});
        }
    return found;
}

} // namespace diagnose
