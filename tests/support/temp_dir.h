// A folder of a test's own under /tmp, removed with all it holds when the
// test ends, and the reading back of the files a program wrote there.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The whole file, byte for byte; empty when there is none.
inline std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
