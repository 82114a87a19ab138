#include "cycle_counts.h"

#include "files.h"
#include "printable.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace station {
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
    if (rated <= 0 || count * 10 <= rated * 9)
        return "";
    std::string note = "slot " + companions::printable(slot) + ": " + grouped_digits(count) + " of " + grouped_digits(rated) +
                       " rated insertions";
    return count > rated ? note + ": the contacts are due" : note;
}

bool CycleCounts::load(const std::string &fixture_path, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = fixture_path + ".cycles";
    counts_.clear();
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return true; // none counted yet
    nlohmann::json counts = nlohmann::json::parse(in, nullptr, false);
    if (counts.is_discarded() || !counts.is_object()) {
        why = companions::printable(path_) + ": not a file of insertion counts";
        return false;
    }
    for (const auto &[slot, count] : counts.items()) {
        if (!count.is_number_integer() || count.get<int64_t>() < 0) {
            why = companions::printable(path_) + ": slot '" + companions::printable(slot) + "': not a count";
            return false;
        }
        counts_[slot] = count.get<int64_t>();
    }
    return true;
}

bool CycleCounts::save(std::string &why)
{
    nlohmann::ordered_json counts = nlohmann::ordered_json::object();
    for (const auto &[slot, count] : counts_)
        counts[slot] = count;
    return write_atomically(path_, counts.dump(2) + "\n", why);
}

bool CycleCounts::insert(const FixtureSlot &slot, int64_t &count, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    count = ++counts_[slot.name];
    return save(why);
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
    counts_[slot] = 0;
    return save(why);
}

} // namespace station
