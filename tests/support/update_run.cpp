#include "tests/support/update_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <vector>

#include "app/update_walks.h"
#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/download.h"
#include "firmware/image_scan.h"
#include "sim/sim_backend.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_file.h"

namespace {

std::map<int, SimDovelState> handStates() {
    std::map<int, SimDovelState> states;
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        simHandDovelState(simCurrentHand(), id, &states[id]);
    }
    return states;
}

// Where each controller's text begins; `skip` characters of the marker stay with the text
// before (a summary line's LF ends the line above it).
struct SectionStart {
    const char* marker;
    size_t skip;
};
const SectionStart SECTION_STARTS[] = {
    {"\nLooking for Dovel ID ", 0},         {"\n\nDownloading firmware to Dovel ", 0},
    {"\nRestoring the ROLE for Dovel ", 0}, {"Checking Dovel ", 0},
    {"\nDownload FAILED: Dovel ", 0},       {"\nDovel ", 1}};

// The simulated hand's adapter, with the file change made at its character frame.
struct FileChangeAtWrite {
    const CanBackend* hand;
    const ImageFileChange* change;
    std::string path;
    int charactersWritten;
};
FileChangeAtWrite changing{};
CanBackend changingBackend{};

int32_t writeAndChangeFile(const CanFrame* frame) {
    if (frame->LEN == CHARACTER_FRAME_LEN &&
        ++changing.charactersWritten == changing.change->atCharacter) {
        changing.change->change(changing.path);
    }
    return changing.hand->write(frame);
}

}  // namespace

std::string writeRandomImage(const std::string& stem, uint32_t bytes, uint32_t seed) {
    std::vector<uint8_t> data(bytes);
    std::mt19937 random(seed);
    for (uint8_t& byte : data) {
        byte = static_cast<uint8_t>(random());
    }
    const std::string path = uniqueTempPath(stem);
    EXPECT_EQ(tekWriteImage(path.c_str(), data.data(), bytes, 0x1000, 32), 0);
    return path;
}

std::string leftOutTouched(const UpdateRun& run, const std::string& tracePath, DovelIds leftOut) {
    std::ifstream trace(tracePath);
    for (std::string line; std::getline(trace, line);) {
        const size_t hash = line.find('#');
        if (line.rfind('(', 0) != 0 || hash == std::string::npos) {
            continue;  // not a frame line
        }
        const size_t space = line.rfind(' ', hash);
        const int id = std::stoi(line.substr(space + 1, hash - space - 1), nullptr, 16);
        const std::string data = line.substr(hash + 1);
        if (dovelIdNamed(leftOut, id) && data != "00" && data != "01" && data != "03" &&
            data != "05") {
            return "written to: " + line;
        }
    }
    for (const auto& [id, after] : run.after) {
        const SimDovelState& before = run.before.at(id);
        if (dovelIdNamed(leftOut, id) &&
            (after.flashCrc32 != before.flashCrc32 || after.storedRole != before.storedRole ||
             after.stores != 0 || after.resets != before.resets)) {
            return "controller " + std::to_string(id) + " changed";
        }
    }
    return "";
}

std::string exampleImagePath() { return std::string(DOVEL_SOURCE_DIR) + "/examples/dovel2.tek"; }

UpdateRun runUpdateOnSimulatedHand(const std::string& options, const std::string& imagePath,
                                   const ImageFileChange* fileChange, const std::string& tracePath,
                                   DownloadMode mode, bool traceUnmasked, DovelIds named) {
    UpdateRun run{};
    ImageScan scan{};
    ImageBytes image{};
    readAndScanImage(imagePath.c_str(), &scan, &image);
    const std::string all = options.empty() ? "fast" : "fast," + options;
    const CanBackend* backend = simOpenBackend(all.c_str());
    EXPECT_NE(backend, nullptr) << all;
    if (backend == nullptr) {
        return run;
    }
    canUseBackend(backend);
    if (fileChange != nullptr) {
        changing = FileChangeAtWrite{backend, fileChange, imagePath, 0};
        changingBackend = *backend;
        changingBackend.write = writeAndChangeFile;
        canUseBackend(&changingBackend);
    }
    if (!tracePath.empty()) {
        EXPECT_EQ(simHandTraceTo(simCurrentHand(), tracePath.c_str(),
                                 SimTraceSettings{false, 0, traceUnmasked}),
                  0);
    }
    beginStdoutCapture();
    EXPECT_EQ(canStart(), 0);
    run.before = handStates();
    const int64_t startUs = clockNowUs();
    runUpdateWalks(&image, ExpectedVersion{}, mode, &run.outcome, named);
    printUpdateSummary(run.outcome, ImageSummary{});
    run.virtualUs = clockNowUs() - startUs;
    run.out = endStdoutCapture();
    simHandSettle(simCurrentHand());
    run.after = handStates();
    run.sections = splitByController(run.out);
    canUseBackend(nullptr);
    simCloseBackend();
    return run;
}

std::map<int, std::string> splitByController(const std::string& out) {
    std::map<int, std::string> sections;
    size_t at = 0;
    int current = 0;  // text before the first controller's section belongs to none
    while (at < out.size()) {
        size_t next = std::string::npos;
        int nextId = 0;
        size_t markerLength = 0;
        for (const SectionStart& start : SECTION_STARTS) {
            size_t found = out.find(start.marker, at == 0 ? 0 : at + 1);
            if (found != std::string::npos) {
                found += start.skip;
            }
            if (found != std::string::npos && (next == std::string::npos || found < next)) {
                next = found;
                markerLength = std::char_traits<char>::length(start.marker) - start.skip;
            }
        }
        const size_t end = next == std::string::npos ? out.size() : next;
        sections[current] += out.substr(at, end - at);
        if (next == std::string::npos) {
            break;
        }
        nextId = std::atoi(out.c_str() + next + markerLength);
        current = nextId;
        at = next;
    }
    return sections;
}

std::string completionProblem(const SimDovelState& before, const SimDovelState& after,
                              const TekImage& image) {
    if (after.mode != SIM_MODE_MAIN) {
        return "not in main firmware";
    }
    if (after.flash != image.bytes) {
        return "flash differs from the image (" + std::to_string(after.flash.size()) + " bytes)";
    }
    if (after.badRecords != 0) {
        return std::to_string(after.badRecords) + " bad records";
    }
    if (after.storedRole != ((before.storedRole & 0xFFE0) | 5)) {
        return "stored ROLE " + std::to_string(after.storedRole);
    }
    return "";
}

bool storedRoleIsDerived(const SimDovelState& before, const SimDovelState& after) {
    return after.storedRole == before.storedRole ||
           after.storedRole == (before.storedRole & 0xFFE0);
}
