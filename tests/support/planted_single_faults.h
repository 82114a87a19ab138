// Every single fault of the dictionary's model that a board can hold (all but
// the bridges of three nets), planted one at a time, and what a set's
// diagnosis must make of each: nothing where the set's coverage table says it
// misses the fault, else the fault itself among exactly as many candidates
// as the table says read alike. Shared by the chip's own engine and the
// virtual USB bus, so that both are held to one table.
#pragma once

#include "fault_model.h"

#include <functional>
#include <vector>

// The candidates a board holding planted gives when tested with the set's steps.
using DiagnoseBoard = std::function<std::vector<diagnose::FaultCase>(const diagnose::FaultCase &planted,
                                                                     const std::vector<diagnose::Step> &steps)>;

// Checks each single fault with gtest's expectations; returns how many were planted.
int check_every_single_fault(diagnose::PatternSet set, const DiagnoseBoard &diagnose_board);

// The single faults: 8 nets x 4 (stuck at 0 or 1, open pulled up or
// floating), 28 pairs x 4 (AND, OR and resistive bridges, crossed pairs),
// 56 ordered pairs x 2 (dominant bridges, misroutes).
constexpr int single_faults_planted = 8 * 4 + 28 * 4 + 56 * 2;
