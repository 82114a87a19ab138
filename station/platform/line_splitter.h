// What a board's process prints, split into lines as it arrives: the
// halves of child_process.cpp read it alike.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace station {

// Splits what arrives into lines; the last one may come without a line end.
class LineSplitter {
public:
    explicit LineSplitter(const std::function<void(const std::string &)> &on_line) : on_line_(on_line) {}
    void add(const char *data, size_t size)
    {
        for (size_t i = 0; i < size; i++) {
            if (data[i] == '\n') {
                on_line_(pending_);
                pending_.clear();
            } else {
                pending_ += data[i];
            }
        }
    }
    void finish()
    {
        if (!pending_.empty())
            on_line_(pending_);
        pending_.clear();
    }

private:
    const std::function<void(const std::string &)> &on_line_;
    std::string pending_;
};

} // namespace station
