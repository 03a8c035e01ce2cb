// A whole update of the in-process simulated hand on its virtual clock, and what a
// test checks afterwards: each controller's part of the console text and end state.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "app/update_walks.h"
#include "firmware/image_reader.h"
#include "firmware/tek_format.h"
#include "sim/sim_hand.h"

struct UpdateRun {
    std::string out;    // standard output of the walks
    int64_t virtualUs;  // simulated time the walks took
    std::map<int, SimDovelState> before;
    std::map<int, SimDovelState> after;
    std::map<int, std::string> sections;  // the console text of each controller's steps
    UpdateOutcome outcome;
};

// Something done to the image file while the first download runs: when the host has
// written atCharacter character frames.
struct ImageFileChange {
    void (*change)(const std::string& path);
    int atCharacter;
};

// Opens a fresh hand with "fast" and the options, starts the link, reads the image as the
// file check does, runs the three walks and closes the hand again. With a trace path,
// every frame on the bus goes there as a candump log.
UpdateRun runUpdateOnSimulatedHand(const std::string& options, const std::string& imagePath,
                                   const ImageFileChange* fileChange = nullptr,
                                   const std::string& tracePath = "",
                                   DownloadMode mode = DOWNLOAD_ONE_BY_ONE,
                                   bool traceUnmasked = false, DovelIds named = ALL_DOVEL_IDS);

// Splits the walks' output by controller: each preparation, download and restoration
// text goes to the controller it is for.
std::map<int, std::string> splitByController(const std::string& out);

// Whether the controller took the image and is back in its role: main firmware, flash
// equal to the image, no bad records, the stored ROLE with its upper bits as before and
// role code 5. The reason when not.
std::string completionProblem(const SimDovelState& before, const SimDovelState& after,
                              const TekImage& image);

// Whether the stored ROLE is the one the controller had, or that word with the role code
// cleared: the only values the utility may ever store from what a controller reported.
bool storedRoleIsDerived(const SimDovelState& before, const SimDovelState& after);

// How a controller in leftOut was touched: the first frame of the trace addressed to it
// that is no get request of ID, ROLE, STATUS or VERS, or a change of its flash or stored
// ROLE, a STORE or a reset; "" when it was not.
std::string leftOutTouched(const UpdateRun& run, const std::string& tracePath, DovelIds leftOut);

std::string exampleImagePath();

// Writes an image of `bytes` random data bytes (from `seed`), 32 a record from 0x1000, to
// a new temporary file named after `stem`; returns its path.
std::string writeRandomImage(const std::string& stem, uint32_t bytes, uint32_t seed);
