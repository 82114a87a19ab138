#include "console.h"

#include "test_driver/entry.h"

#include <cstdio>
#include <cstring>

namespace console {
namespace {

struct Sink {
    Run *run;
    Stream stream;
    Keep keep;
};

ssize_t write_sink(void *cookie, const char *data, size_t size)
{
    auto *sink = static_cast<Sink *>(cookie);
    if (sink->keep == Keep::nothing)
        return ssize_t(size);
    Run &r = *sink->run;
    std::string text(data, size);
    (sink->stream == Stream::out ? r.out : r.err) += text;
    if (!r.sequence.empty() && r.sequence.back().first == sink->stream)
        r.sequence.back().second += text;
    else
        r.sequence.emplace_back(sink->stream, text);
    return ssize_t(size);
}

// Swap the C streams for capturing ones for the life of the object. The
// capture streams are unbuffered, so every print lands in order.
class Redirect {
public:
    Redirect(Run &run, const std::optional<std::string> &input, Keep keep)
        : out_{&run, Stream::out, keep}, err_{&run, Stream::err, keep}, input_(input.value_or(""))
    {
        cookie_io_functions_t io{};
        io.write = write_sink;
        saved_out_ = stdout;
        saved_err_ = stderr;
        saved_in_ = stdin;
        fflush(stdout);
        fflush(stderr);
        stdout = fopencookie(&out_, "w", io);
        stderr = fopencookie(&err_, "w", io);
        setvbuf(stdout, nullptr, _IONBF, 0);
        setvbuf(stderr, nullptr, _IONBF, 0);
        // fmemopen refuses a zero-length buffer: an empty input is a closed one.
        stdin = input_.empty() ? fopen("/dev/null", "r")
                               : fmemopen(input_.data(), input_.size(), "r");
    }
    ~Redirect()
    {
        fclose(stdout);
        fclose(stderr);
        fclose(stdin);
        stdout = saved_out_;
        stderr = saved_err_;
        stdin = saved_in_;
    }

private:
    Sink out_, err_;
    std::string input_;
    FILE *saved_out_, *saved_err_, *saved_in_;
};

} // namespace

Run run(const std::vector<std::string> &args, const std::optional<std::string> &input, Keep keep)
{
    Run result;
    std::vector<std::string> storage = args;
    storage.insert(storage.begin(), "wiretest");
    std::vector<char *> argv;
    argv.reserve(storage.size() + 1);
    for (std::string &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    {
        Redirect redirect(result, input, keep);
        result.returned = wiretest_main(int(storage.size()), argv.data());
    }
    result.exit_status = result.returned & 0xFF;
    return result;
}

Run capture(const std::function<void()> &fn)
{
    Run result;
    {
        Redirect redirect(result, std::nullopt, Keep::text);
        fn();
    }
    return result;
}

} // namespace console
