// The insertions of each fixture slot whose contacts have a rating: spring
// contacts wear out after so many boards. Kept in FILE.cycles beside the
// fixture file, written whole or not at all, across runs and restarts.
#pragma once

#include "fixture_file.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace station {

class CycleCounts {
public:
    // Reads the counts of the fixture read from fixture_path; a file not yet
    // there counts from 0. false with why when it is no such file.
    bool load(const std::string &fixture_path, std::string &why);
    // One insertion more at slot, saved at once; count is the slot's
    // insertions with it. false with why when it was not saved.
    bool insert(const FixtureSlot &slot, int64_t &count, std::string &why);
    // The slot's insertions so far.
    int64_t insertions(const std::string &slot);
    // After a change of the slot's contacts.
    bool reset(const std::string &slot, std::string &why);

private:
    bool save(std::string &why);

    std::mutex mutex_;
    std::string path_;
    std::map<std::string, int64_t> counts_; // by slot name
};

// 45210 as "45,210".
std::string grouped_digits(int64_t n);

// "slot 3: 45,210 of 50,000 rated insertions", and past the rating ": the
// contacts are due"; "" up to 90% of it.
std::string cycle_note(const std::string &slot, int64_t count, int64_t rated);

} // namespace station
