#include "cycle_counts.h"

#include "file_lock.h"
#include "files.h"
#include "printable.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <limits>

namespace station {

using companions::printable;

constexpr int64_t most_insertions = std::numeric_limits<int64_t>::max();

std::string grouped_digits(int64_t n)
{
    std::string digits = std::to_string(n), text;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

std::string cycle_note(const std::string &slot, int64_t count, int64_t rated)
{
    // count * 10 <= rated * 9, without a product that could overflow
    if (rated <= 0 || count <= rated - (rated + 9) / 10)
        return "";
    std::string note = "slot " + printable(slot) + ": " + grouped_digits(count) + " of " + grouped_digits(rated) +
                       " rated insertions";
    return count > rated ? note + ": the contacts are due" : note;
}

bool CycleCounts::read(Counts &read_counts, std::string &why)
{
    read_counts.clear();
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::u8path(path_), ec))
        return true; // none counted yet
    // A FIFO would hold the station before its first board, a device give
    // anything: counts are kept in a file.
    if (is_special(path_)) {
        why = printable(path_) + ": not a regular file: insertion counts are kept in one";
        return false;
    }
    std::ifstream in(std::filesystem::u8path(path_), std::ios::binary);
    if (!in) {
        why = "cannot read " + printable(path_);
        return false;
    }
    nlohmann::json counts = nlohmann::json::parse(in, nullptr, false);
    if (counts.is_discarded() || !counts.is_object()) {
        why = printable(path_) + ": not a file of insertion counts";
        return false;
    }
    for (const auto &[slot, count] : counts.items()) {
        if (!count.is_number_integer() || (!count.is_number_unsigned() && count.get<int64_t>() < 0)) {
            why = printable(path_) + ": slot '" + printable(slot) + "': not a count";
            return false;
        }
        // A count past the largest the station keeps stays at it.
        read_counts[slot] = count.is_number_unsigned() && count.get<uint64_t>() > uint64_t(most_insertions)
                                ? most_insertions
                                : count.get<int64_t>();
    }
    return true;
}

bool CycleCounts::update(const std::function<void(Counts &)> &change, std::string &why)
{
    // The fixture file every station of the fixture reads, never replaced,
    // so all of them lock the same.
    FileLock lock(fixture_path_);
    if (!lock.locked()) {
        why = "cannot lock " + printable(fixture_path_) + " to count its insertions: " +
              std::error_code(lock.error(), std::generic_category()).message();
        return false;
    }
    Counts counts;
    if (!read(counts, why))
        return false;
    change(counts);
    nlohmann::ordered_json text = nlohmann::ordered_json::object();
    for (const auto &[slot, count] : counts)
        text[slot] = count;
    if (!write_atomically(path_, text.dump(2) + "\n", why))
        return false;
    counts_ = std::move(counts);
    return true;
}

bool CycleCounts::load(const std::string &fixture_path, bool counted, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fixture_path_ = fixture_path;
    path_ = fixture_path + ".cycles";
    if (!counted)
        return read(counts_, why);
    return update([](Counts &) {}, why);
}

bool CycleCounts::insert(const FixtureSlot &slot, int64_t &count, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bool saved = update(
        [&](Counts &counts) {
            int64_t &n = counts[slot.name];
            n += n < most_insertions; // at the largest it stays, never wraps
        },
        why);
    if (!saved) { // counted here all the same: the line and the record carry it
        int64_t &n = counts_[slot.name];
        n += n < most_insertions;
    }
    count = counts_[slot.name];
    return saved;
}

int64_t CycleCounts::insertions(const std::string &slot)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(slot);
    return it == counts_.end() ? 0 : it->second;
}

bool CycleCounts::reset(const std::string &slot, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return update([&](Counts &counts) { counts[slot] = 0; }, why);
}

} // namespace station
