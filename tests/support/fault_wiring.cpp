#include "fault_wiring.h"

#include <gtest/gtest.h>

using diagnose::FaultClass;

chip::Wiring wiring_of(const std::vector<diagnose::Fault> &faults)
{
    chip::Wiring w;
    for (const diagnose::Fault &f : faults) {
        int a = f.nets[0], b = f.nets[1];
        switch (f.kind) {
        case FaultClass::stuck_0: w.stick(a, 0); break;
        case FaultClass::stuck_1: w.stick(a, 1); break;
        case FaultClass::open_pulled_up: w.open_wire(a, 1); break;
        case FaultClass::open_floating: w.open_wire(a, 0); break;
        case FaultClass::bridge_and: w.bridge(a, b, chip::Wiring::Bridge::wired_and); break;
        case FaultClass::bridge_or: w.bridge(a, b, chip::Wiring::Bridge::wired_or); break;
        case FaultClass::bridge_dominant: w.bridge(a, b, chip::Wiring::Bridge::dominant); break;
        case FaultClass::bridge_resistive: w.bridge(a, b, chip::Wiring::Bridge::resistive); break;
        case FaultClass::crossed: w.swap(a, b); break;
        case FaultClass::misroute: w.wire(b, a); break;
        case FaultClass::bridge3_and: case FaultClass::bridge3_or:
            ADD_FAILURE() << "a bridge of three nets is not planted";
        }
    }
    return w;
}
