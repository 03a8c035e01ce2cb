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
    // The summary is printed: a run left at this prompt must not keep the bus from the
    // next one.
    canFinish();
    promptKey("\nPress any key to exit...");
    std::printf("\nDone.\n\n");
    std::fflush(stdout);
    // The record carries the status the run ends with, so it is written last.
    std::exit(recordEnd(reportOutcome ? reportStatus : 0, reportOutcome));
}

void exitPrompt() { exitPromptReporting(EXIT_UPDATE_NOT_STARTED); }
