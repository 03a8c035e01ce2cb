#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "can/link.h"

namespace {

constexpr const char* EXIT_STATUS_VARIABLE = "DOVEL_EXIT_STATUS";
constexpr const char* EXIT_STATUS_REPORT = "report";

// Status 0 on every way out, unless the caller asked for the outcome.
int chosenExitStatus(int reportStatus) {
    const char* setting = std::getenv(EXIT_STATUS_VARIABLE);
    if (setting == nullptr || *setting == '\0') {
        return 0;
    }
    if (std::strcmp(setting, EXIT_STATUS_REPORT) == 0) {
        return reportStatus;
    }
    std::fprintf(stderr, "%s: unknown value '%s' (only '%s' is known); exit status 0\n",
                 EXIT_STATUS_VARIABLE, setting, EXIT_STATUS_REPORT);
    return 0;
}

}  // namespace

void exitPromptReporting(int reportStatus) {
    // The summary is printed: a run left at this prompt must not keep the bus from the
    // next one.
    canFinish();
    promptKey("\nPress any key to exit...");
    std::printf("\nDone.\n\n");
    std::fflush(stdout);
    std::exit(chosenExitStatus(reportStatus));
}

void exitPrompt() { exitPromptReporting(EXIT_UPDATE_NOT_STARTED); }
