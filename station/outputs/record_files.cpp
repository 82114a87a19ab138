// --records DIR: each board's record in a file of its own, never over
// another's.
#include "files.h"
#include "sinks.h"
#include "record.h"

namespace station {
namespace {

class RecordFiles : public Output {
public:
    const char *sink() const override { return "records"; }
    explicit RecordFiles(std::string dir) : dir_(std::move(dir)) {}

    bool start(std::string &why) override { return make_directories(dir_, why) && folder_writable(dir_, why); }

    bool finished(const FinishedBoard &board, std::string &why) override
    {
        std::string path;
        return write_new_file(dir_, record_file_name(board.result), board.record + "\n", path, why);
    }

private:
    const std::string dir_;
};

} // namespace

std::unique_ptr<Output> record_files_output(const RunOptions &options)
{
    return std::make_unique<RecordFiles>(options.records_dir);
}

} // namespace station
