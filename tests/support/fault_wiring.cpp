#include "fault_wiring.h"

#include "board_text.h"

#include <gtest/gtest.h>

using diagnose::FaultClass;

std::string board_text_of(const std::vector<diagnose::Fault> &faults)
{
    std::string text;
    for (const diagnose::Fault &f : faults) {
        std::string a = std::to_string(f.nets[0]), b = std::to_string(f.nets[1]);
        std::string item;
        switch (f.kind) {
        case FaultClass::stuck_0: item = "stick" + a + ":0"; break;
        case FaultClass::stuck_1: item = "stick" + a + ":1"; break;
        case FaultClass::open_pulled_up: item = "open" + a + ":1"; break;
        case FaultClass::open_floating: item = "open" + a + ":0"; break;
        case FaultClass::bridge_and: item = "short" + a + "-" + b + ":and"; break;
        case FaultClass::bridge_or: item = "short" + a + "-" + b + ":or"; break;
        case FaultClass::bridge_dominant: item = "short" + a + "-" + b + ":dom"; break;
        case FaultClass::bridge_resistive: item = "short" + a + "-" + b + ":res"; break;
        case FaultClass::crossed: item = "swap" + a + "-" + b; break;
        case FaultClass::misroute: item = "wire" + b + "-" + a; break; // high pin b on low pin a
        case FaultClass::bridge3_and: case FaultClass::bridge3_or:
            ADD_FAILURE() << "a bridge of three nets is not planted";
            continue;
        }
        text += (text.empty() ? "" : "+") + item;
    }
    return text;
}

chip::Wiring wiring_of(const std::vector<diagnose::Fault> &faults)
{
    return board_text::parse(board_text_of(faults));
}
