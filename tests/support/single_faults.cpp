#include "single_faults.h"

namespace {

std::string group_of(int pin) { return pin % 2 ? "1,3,5,7" : "0,2,4,6"; }
bool same_group(int a, int b) { return a % 2 == b % 2; }

// One pin as faulty_pins() writes it: "3:stuck-0", "4:reads-other(5)".
std::string named(int pin, const std::string &status, const std::string &with = "")
{
    std::string text = std::to_string(pin);
    text.append(":").append(status);
    if (!with.empty())
        text.append("(").append(with).append(")");
    return text;
}

// Two pins that name each other.
std::string pair_named(int a, int b, const std::string &status, const std::string &with_a,
                       const std::string &with_b)
{
    return named(a, status, with_a).append(" ").append(named(b, status, with_b));
}

} // namespace

std::vector<SingleFault> single_faults()
{
    std::vector<SingleFault> faults;
    for (int j = 0; j < 8; j++) {
        for (const std::string status : {"stuck-0", "stuck-1", "inverted"}) {
            chip::Wiring wiring;
            if (status == "inverted")
                wiring.invert(j);
            else
                wiring.stick(j, status == "stuck-1");
            faults.push_back({named(j, status), wiring, named(j, status), named(j, status)});
        }
    }
    for (int a = 0; a < 8; a++) {
        for (int b = a + 1; b < 8; b++) {
            std::string pa = std::to_string(a), pb = std::to_string(b);
            // Pins of one group read alike in the short test: a short or a
            // crossing between them passes it. Across the groups a short
            // still names its partner; a crossed pin reads the whole group.
            bool hidden = same_group(a, b);
            for (const std::string kind : {"short-and", "short-or"}) {
                std::string both = pair_named(a, b, kind, pb, pa);
                faults.push_back({both, chip::Wiring{}.short_nets(a, b, kind == "short-or"), both,
                                  hidden ? "" : both});
            }
            std::string crossed = pair_named(a, b, "reads-other", pb, pa);
            faults.push_back({crossed, chip::Wiring{}.swap(a, b), crossed,
                              hidden ? "" : pair_named(a, b, "reads-other", group_of(b), group_of(a))});
        }
    }
    for (int j = 0; j < 8; j++) {
        for (int k = 0; k < 8; k++) {
            if (k == j)
                continue;
            std::string reads_k = named(j, "reads-other", std::to_string(k));
            faults.push_back({reads_k, chip::Wiring{}.wire(j, k), reads_k,
                              same_group(j, k) ? "" : named(j, "reads-other", group_of(k))});
        }
    }
    return faults;
}

