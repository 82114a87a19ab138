#include "fault_wiring.h"

#include "board_text.h"

#include <gtest/gtest.h>

#include <cstdio>

using diagnose::FaultClass;

std::string board_text_of(const std::vector<diagnose::Fault> &faults)
{
    std::string text;
    for (const diagnose::Fault &f : faults) {
        int a = f.nets[0], b = f.nets[1];
        char item[32];
        switch (f.kind) {
        case FaultClass::stuck_0: std::snprintf(item, sizeof item, "stick%d:0", a); break;
        case FaultClass::stuck_1: std::snprintf(item, sizeof item, "stick%d:1", a); break;
        case FaultClass::open_pulled_up: std::snprintf(item, sizeof item, "open%d:1", a); break;
        case FaultClass::open_floating: std::snprintf(item, sizeof item, "open%d:0", a); break;
        case FaultClass::bridge_and: std::snprintf(item, sizeof item, "short%d-%d:and", a, b); break;
        case FaultClass::bridge_or: std::snprintf(item, sizeof item, "short%d-%d:or", a, b); break;
        case FaultClass::bridge_dominant: std::snprintf(item, sizeof item, "short%d-%d:dom", a, b); break;
        case FaultClass::bridge_resistive: std::snprintf(item, sizeof item, "short%d-%d:res", a, b); break;
        case FaultClass::crossed: std::snprintf(item, sizeof item, "swap%d-%d", a, b); break;
        case FaultClass::misroute: std::snprintf(item, sizeof item, "wire%d-%d", b, a); break; // high pin b on low pin a
        case FaultClass::bridge3_and: case FaultClass::bridge3_or:
            ADD_FAILURE() << "a bridge of three nets is not planted";
            continue;
        }
        if (!text.empty())
            text += '+';
        text += item;
    }
    return text;
}

chip::Wiring wiring_of(const std::vector<diagnose::Fault> &faults)
{
    return board_text::parse(board_text_of(faults));
}
