#include "app/output_files.h"

#include <filesystem>
#include <system_error>

#include "can/can_trace.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

bool writable(const fs::path& path) {
#if defined(_WIN32)
    constexpr int WRITE_ACCESS = 2;
    return _access(path.string().c_str(), WRITE_ACCESS) == 0;
#else
    return access(path.c_str(), W_OK) == 0;
#endif
}

// What is wrong with writing to path, "" when nothing is.
std::string outputProblem(const std::string& text) {
    std::error_code error;
    const fs::path path(text);
    const fs::file_status status = fs::status(path, error);
    switch (status.type()) {
        case fs::file_type::regular:
            return writable(path) ? "" : "it is a file that cannot be written";
        case fs::file_type::directory:
            return "it is a folder";
        case fs::file_type::fifo:
            return "it is a FIFO";
        case fs::file_type::socket:
            return "it is a socket";
        case fs::file_type::block:
        case fs::file_type::character:
            return "it is a device";
        case fs::file_type::not_found:
            break;
        default:
            return "it is not a regular file";
    }
    // A new file, or a link to a place where none is yet: its folder must take it.
    const fs::path target =
        fs::is_symlink(fs::symlink_status(path, error))
            ? fs::absolute(path, error).parent_path() / fs::read_symlink(path, error)
            : path;
    fs::path folder = target.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    const fs::file_type folderType = fs::status(folder, error).type();
    if (folderType == fs::file_type::not_found) {
        return "its folder " + folder.string() + " does not exist";
    }
    if (folderType != fs::file_type::directory) {
        return folder.string() + " is not a folder";
    }
    return writable(folder) ? "" : "its folder " + folder.string() + " cannot be written";
}

}  // namespace

std::vector<std::string> outputFileProblems(RunSettings* settings) {
    struct Written {
        const char* variable;
        const std::string& path;
        bool written;  // this run writes it
    };
    const bool traced = settings->mode == RUN_UPDATE || settings->mode == RUN_STATUS;
    const Written written[] = {
        {CAN_TRACE_VARIABLE, settings->canTrace, traced},
        {SIM_TRACE_VARIABLE, settings->simTrace, traced},
        {REPORT_VARIABLE, settings->reportPath, true},
    };
    std::vector<std::string> problems;
    for (const Written& file : written) {
        if (!file.written || file.path.empty()) {
            continue;
        }
        const std::string problem = outputProblem(file.path);
        if (problem.empty()) {
            continue;
        }
        problems.push_back(std::string(file.variable) + " is \"" + shownValue(file.path) +
                           "\": " + problem +
                           "; it takes a file that can be written, or a new "
                           "one in a folder that can be written");
        if (file.variable == std::string(REPORT_VARIABLE)) {
            settings->reportUsable = false;
        }
    }
    return problems;
}
