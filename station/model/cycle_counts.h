// The insertions of each fixture slot whose contacts have a rating: spring
// contacts wear out after so many boards. Kept in FILE.cycles beside the
// fixture file, written whole or not at all, across runs and restarts.
// Stations that share a fixture file share its counts: each change is made
// under a lock on the fixture file to the counts as the file has them then,
// so that no station's insertions are written over by another's.
#pragma once

#include "fixture_file.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace station {

class CycleCounts {
public:
    // Reads the counts of the fixture read from fixture_path; a file not yet
    // there counts from 0. counted: the fixture has rated slots, so the file
    // is written now, as it is, to find out that it can be. false with why
    // when it is no such file or cannot be written.
    bool load(const std::string &fixture_path, bool counted, std::string &why);
    // One insertion more at slot, saved at once; count is the slot's
    // insertions with it. false with why when it was not saved.
    bool insert(const FixtureSlot &slot, int64_t &count, std::string &why);
    // The slot's insertions so far.
    int64_t insertions(const std::string &slot);
    // After a change of the slot's contacts.
    bool reset(const std::string &slot, std::string &why);

private:
    using Counts = std::map<std::string, int64_t>; // by slot name
    // The file's counts now, changed and saved, under the fixture's lock.
    bool update(const std::function<void(Counts &)> &change, std::string &why);
    bool read(Counts &counts, std::string &why);

    std::mutex mutex_;
    std::string fixture_path_, path_;
    Counts counts_;
};

// 45210 as "45,210".
std::string grouped_digits(int64_t n);

// "slot 3: 45,210 of 50,000 rated insertions", and past the rating ": the
// contacts are due"; "" up to 90% of it.
std::string cycle_note(const std::string &slot, int64_t count, int64_t rated);

} // namespace station
