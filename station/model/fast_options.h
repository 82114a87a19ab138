// How --fast runs a board's test: which patterns, how often, how long.
#pragma once

#include "fault_model.h"

#include <cstdint>

namespace station {

struct FastOptions {
    bool short_test = false;
    // The planned sets (locate, deep) drive their own steps and read the low
    // byte back after each; deep waits diagnose::deep_settle_us (or settle_us,
    // when longer) before each step with inputs, for the pull-ups to settle.
    diagnose::PatternSet patterns = diagnose::PatternSet::standard;
    uint32_t settle_us = 0;   // at least this long between setting a pattern and reading it
    long repeat = 1;          // runs; 0: until duration_s has passed
    double duration_s = 0;
};

} // namespace station
