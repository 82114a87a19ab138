// A folder of a test's own under /tmp, removed with all it holds when the
// test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempDir {
    explicit TempDir(const std::string &prefix = "wiretest")
    {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        path = mkdtemp(name.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};
