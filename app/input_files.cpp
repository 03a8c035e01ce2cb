#include "app/input_files.h"

#include <filesystem>
#include <system_error>

#include "app/run_settings.h"
#include "can/can_trace.h"
#include "firmware/release_checksum.h"
#include "sim/sim_options.h"
#include "sim/state_file.h"
#include "sim/state_path.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* SIM_BACKEND_PREFIX = "sim";

struct ReadFile {
    std::string path;
    std::string what;  // how the refusal names it
};

// The simulated hand's state file named in DOVEL_CAN, or "".
std::string stateFileOf(const RunSettings& settings) {
    const std::string& can = settings.canSetting;
    const size_t colon = can.find(':');
    if (can.substr(0, colon) != SIM_BACKEND_PREFIX || colon == std::string::npos) {
        return "";
    }
    SimOptions options = simDefaultOptions();
    std::string error;
    if (simParseOptions(can.c_str() + colon + 1, &options, &error) != 0) {
        return "";
    }
    return options.statePath;
}

std::vector<ReadFile> imageFiles(const RunSettings& settings) {
    std::vector<ReadFile> read;
    for (const std::string& image : settings.images) {
        read.push_back({image, "the image"});
        read.push_back({image + RELEASE_CHECKSUM_FILE_SUFFIX, "the image's release checksum"});
    }
    return read;
}

std::vector<ReadFile> filesRead(const RunSettings& settings) {
    std::vector<ReadFile> read = imageFiles(settings);
    const std::string state = stateFileOf(settings);
    if (!state.empty()) {
        // The hand writes FILE.new beside the file itself, wherever a link to it leads.
        read.push_back({state, "the simulated hand's state file"});
        read.push_back(
            {simRealPath(state) + SIM_STATE_NEW_SUFFIX, "the simulated hand's state file"});
    }
    return read;
}

// The state file is written over whenever the hand changes: it may be none of the run's
// images or their checksums. The traces and the record are checked against it below.
void refuseStateFileOnImages(const RunSettings& settings, std::vector<std::string>* problems) {
    const std::string state = stateFileOf(settings);
    if (state.empty() || settings.mode == RUN_CHECK) {
        return;
    }
    const std::string stateNew = simRealPath(state) + SIM_STATE_NEW_SUFFIX;
    for (const ReadFile& input : imageFiles(settings)) {
        if (sameFile(state, input.path) || sameFile(stateNew, input.path)) {
            problems->push_back(std::string(CAN_VARIABLE) + " is \"" +
                                shownValue(settings.canSetting) + "\": its state file is " +
                                input.what + " " + shownValue(input.path) +
                                ", which the simulated hand would overwrite");
            return;
        }
    }
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) {
        return fs::equivalent(a, b, error);
    }
    return simRealPath(a) == simRealPath(b);
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
    refuseStateFileOnImages(*settings, &problems);
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
