// The walks over the hand's controllers: prepare, download, restore, then a check of
// what each runs; and what became of each controller.
#pragma once

#include <cstddef>

#include "app/dovel_ids.h"
#include "app/download_mode.h"
#include "firmware/download.h"
#include "protocol/dovel_check.h"
#include "protocol/role.h"

constexpr int FIRST_DOVEL_ID = 11;
constexpr int LAST_DOVEL_ID = 14;
constexpr int DOVEL_COUNT = LAST_DOVEL_ID - FIRST_DOVEL_ID + 1;
constexpr DovelIds ALL_DOVEL_IDS = (1u << DOVEL_COUNT) - 1;
constexpr int RESET_WAIT_MS = 3000;
constexpr int AFTER_DOWNLOAD_WAIT_MS = 1000;

struct DovelOutcome {
    int id;
    // DOVEL_IDS left it out: the walks pass it by and write nothing to it; the final
    // check asks it with get requests only.
    bool leftOut;
    PrepareOutcome prepare;
    bool downloaded;  // the whole image was streamed
    DownloadReport download;
    bool restored;        // role code 5 verified and stored
    uint16_t storedRole;  // the ROLE word stored, when restored
    DovelCheck check;
    DovelCheckAnswer checked;  // what the final check read
    bool linkDown;             // a step of it failed because the CAN link was gone or down
    int32_t roleRead;          // by the preparation, when PREPARED
    // DOVEL_DOWNLOAD=together: its download ran with the others and it stopped replying.
    bool stoppedTogether;
};

// How the download walk ran: the mode asked for, and where "together" fell back to one
// by one, why: a controller whose replies repeated the identifier of an earlier one's, a
// controller whose identifier was not proven, or a frame of a proven identifier that came
// with no reply awaited.
struct DownloadWay {
    DownloadMode mode;
    int startedTogether;  // controllers whose downloads ran together
    int repeatingId;      // 0 when no identifier repeated
    int repeatedId;       // the controller whose identifier it repeated
    int unprovenId;       // 0, or the controller whose identifier was not proven
    int contradictedId;   // 0, or the controller whose identifier came unawaited
    unsigned replyId;     // the identifier shared, the frame that spoilt a proof, or unawaited
    long framesOfNone;    // frames with none of the identifiers, which paced nothing
};

constexpr int LINK_DOWN_REASON_SIZE = 160;

struct UpdateOutcome {
    DovelOutcome dovels[DOVEL_COUNT];
    char linkDownReason[LINK_DOWN_REASON_SIZE];  // the first, when any step met it
    ExpectedVersion expected;                    // what DOVEL_EXPECT_VERS named
    DownloadWay download;
    DovelIds leftOut;  // the controllers DOVEL_IDS did not name; none when it is unset
};

// Runs the walks and the final check with the image the file check read, filling
// *outcome. A controller whose download did not complete is not restored; every other
// result leaves the walks as they are. The walks visit the named controllers only; the
// final check checks the others too, as --status does.
void runUpdateWalks(const ImageBytes* image, const ExpectedVersion& expected, DownloadMode mode,
                    UpdateOutcome* outcome, DovelIds named = ALL_DOVEL_IDS);

// Whether DOVEL_IDS left controllers out of the walks.
bool someLeftOut(const UpdateOutcome& outcome);
// The controllers the walks visited.
int namedDovelCount(const UpdateOutcome& outcome);

// Whether the update did all it was asked: every named controller updated (updated of
// them) and every other one found running its main firmware.
bool updateComplete(const UpdateOutcome& outcome, int updated);

// Whether the controller took the whole image, was restored and runs its main firmware.
bool dovelUpdated(const DovelOutcome& dovel);

// Whether its download was started and it never answered the start: not one character
// went out, and the link did not go down.
bool dovelDownloadStartUnanswered(const DovelOutcome& dovel);

// What the summary says of the image; a null member leaves its part out.
struct ImageSummary {
    const char* path;
    const char* sha256;
    const char* checkedAgainst;  // what the hash matched, "" when nothing was given
    // What the file check found in an image the operator let through
    // (DOVEL_IMAGE_CHECK=warn): a controller that took such an image is not called updated.
    const char* problem;
};

// What the summary says of the controller after "Dovel %d: ", without the line end.
void dovelSummaryWords(const DovelOutcome& dovel, bool imageFailedCheck, char* words, size_t size);

// Prints the summary; returns the number of controllers updated.
int printUpdateSummary(const UpdateOutcome& outcome, const ImageSummary& image);
