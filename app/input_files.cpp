#include "app/input_files.h"

#include <filesystem>
#include <system_error>

#include "app/run_settings.h"
#include "can/can_trace.h"
#include "firmware/release_checksum.h"
#include "sim/sim_options.h"
#include "sim/state_file.h"

namespace fs = std::filesystem;

namespace {

// More links in a row than this are a loop; the path is taken as it stands then.
constexpr int MAX_LINKS_FOLLOWED = 40;
constexpr const char* SIM_BACKEND_PREFIX = "sim";

// Where a path leads once every link is followed, also a link whose target is not there
// yet (writing through it would make that target).
fs::path resolvedPath(const std::string& text) {
    std::error_code error;
    fs::path path = fs::absolute(fs::path(text), error);
    for (int i = 0; i < MAX_LINKS_FOLLOWED && fs::is_symlink(path, error); ++i) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    const fs::path canonical = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : canonical;
}

struct ReadFile {
    std::string path;
    std::string what;  // how the refusal names it
};

std::vector<ReadFile> filesRead(const RunSettings& settings) {
    std::vector<ReadFile> read;
    for (const std::string& image : settings.images) {
        read.push_back({image, "the image"});
        read.push_back({image + RELEASE_CHECKSUM_FILE_SUFFIX, "the image's release checksum"});
    }
    const std::string& can = settings.canSetting;
    const size_t colon = can.find(':');
    if (can.substr(0, colon) == SIM_BACKEND_PREFIX && colon != std::string::npos) {
        SimOptions options = simDefaultOptions();
        std::string error;
        if (simParseOptions(can.c_str() + colon + 1, &options, &error) == 0 &&
            !options.statePath.empty()) {
            read.push_back({options.statePath, "the simulated hand's state file"});
            read.push_back(
                {options.statePath + SIM_STATE_NEW_SUFFIX, "the simulated hand's state file"});
        }
    }
    return read;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) {
        return fs::equivalent(a, b, error);
    }
    return resolvedPath(a) == resolvedPath(b);
}

std::vector<std::string> overwriteProblems(RunSettings* settings) {
    struct Written {
        const char* variable;
        const std::string& path;
        const char* what;  // what writing to it does
        bool written;      // this run writes it
    };
    const bool traced = settings->mode == RUN_UPDATE || settings->mode == RUN_STATUS;
    const Written written[] = {
        {CAN_TRACE_VARIABLE, settings->canTrace, "the trace would overwrite", traced},
        {SIM_TRACE_VARIABLE, settings->simTrace, "the trace would overwrite", traced},
        {REPORT_VARIABLE, settings->reportPath, "the run's record would be appended to", true},
    };
    const std::vector<ReadFile> read = filesRead(*settings);
    std::vector<std::string> problems;
    for (size_t i = 0; i < std::size(written); ++i) {
        const Written& file = written[i];
        if (!file.written || file.path.empty()) {
            continue;
        }
        const std::string named =
            std::string(file.variable) + " is \"" + shownValue(file.path) + "\"";
        const size_t before = problems.size();
        for (const ReadFile& input : read) {
            if (sameFile(file.path, input.path)) {
                problems.push_back(named + ": that is " + input.what + " " +
                                   shownValue(input.path) + ", which " + file.what);
                break;
            }
        }
        for (size_t j = 0; j < i && problems.size() == before; ++j) {
            if (written[j].written && !written[j].path.empty() &&
                sameFile(file.path, written[j].path)) {
                problems.push_back(std::string(written[j].variable) + " and " + file.variable +
                                   " name one file: each needs its own");
            }
        }
        if (problems.size() != before && file.variable == std::string(REPORT_VARIABLE)) {
            settings->reportUsable = false;
        }
    }
    return problems;
}
