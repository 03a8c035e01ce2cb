#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "app/run_record.h"
#include "can/link.h"

namespace {

// Status 0 on every way out, unless the run's settings asked for the outcome.
bool reportOutcome = false;

}  // namespace

void exitStatusReportsOutcome(bool report) { reportOutcome = report; }

bool exitStatusReported() { return reportOutcome; }

void exitPromptReporting(int reportStatus) {
    // The run's record first, with the status a key gives: a run closed at this prompt
    // (Ctrl-C, a termination request) has its record all the same, and only that one.
    const int status = recordEnd(reportOutcome ? reportStatus : 0, reportOutcome);
    // The summary is printed: a run left at this prompt must not keep the bus from the
    // next one.
    canFinish();
    promptKey("\nPress any key to exit...");
    std::printf("\nDone.\n\n");
    std::fflush(stdout);
    std::exit(status);
}

void exitPrompt() { exitPromptReporting(EXIT_UPDATE_NOT_STARTED); }
