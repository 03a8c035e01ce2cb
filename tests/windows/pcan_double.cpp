// A stand-in for the adapter library PCAN_USB.dll, for the Windows tests. It exports
// the five operations the utility uses by ordinal only (pcan_double.def) and works on
// the 16-byte frame records by byte offset, so the utility's record layout is checked
// from the library's side.
//
// The environment variable ADAPTER_DOUBLE_SCRIPT scripts it, read at the first call
// after the library is loaded; items are separated by ';':
//   init=R[,R...]    results of successive CAN_Init calls, the last one repeating
//   reset=R[,R...]   the same for CAN_ResetClient
//   filter=R[,R...]  the same for CAN_MsgFilter
//   write=R[,R...]   the same for writing a frame
//   empty=N          N reads in a row find the queue empty
//   rx=ID#DATA       a read hands over this standard frame (ID and DATA in hex)
//   rx=ID#DATA/TT    the same with frame type TT (hex), such as 80 for a status report
//   readerror=R      a read fails with R
//   echo             every written frame that passes the acceptance filter is queued
//                    for reading, after what the script queued before the write
//   log=PATH         each call but reads is appended to PATH as one line of text
//   hand[=OPTIONS]   a simulated hand (sim/sim_hand.h) with these options answers on
//                    the bus instead of the reads above; see double_hand.h. Results
//                    scripted for an operation come first, and one that is not 0
//                    leaves the hand untouched. The hand's report goes to standard
//                    error when the library is unloaded or the process ends.
// Codes are decimal or 0x-prefixed hexadecimal. Until CAN_MsgFilter is called every
// identifier passes the filter. Reads of an empty queue give 32.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tests/windows/double_hand.h"
#include "tests/windows/double_script.h"

namespace {

constexpr DWORD RESULT_OK = 0;
constexpr DWORD RESULT_QUEUE_EMPTY = 32;
constexpr DWORD SCRIPT_TEXT_MAX = 4096;

struct DoubleState {
    bool loaded = false;
    bool broken = false;  // the script cannot be followed: every CAN_Init fails
    DoubleScript script;
    DoubleHand hand{};
    size_t initCalls = 0, resetCalls = 0, filterCalls = 0, writeCalls = 0;
    uint32_t filterLowest = 0;
    uint32_t filterHighest = UINT32_MAX;
};

DoubleState state;

// The report of the hand belongs to the end of the library's life.
struct HandAtUnload {
    ~HandAtUnload() { doubleHandClose(&state.hand); }
};
HandAtUnload handAtUnload;

void loadScript() {
    if (state.loaded) {
        return;
    }
    state.loaded = true;
    char text[SCRIPT_TEXT_MAX] = {};
    const DWORD length = GetEnvironmentVariableA(DOUBLE_SCRIPT_VARIABLE, text, sizeof text);
    std::string error;
    if (length >= sizeof text) {
        error = std::string(DOUBLE_SCRIPT_VARIABLE) + " is too long";
    } else if (parseDoubleScript(text, &state.script, &error) == 0 && state.script.hand) {
        doubleHandOpen(&state.hand, state.script.handOptions, &error);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "adapter double: %s\n", error.c_str());
        state.broken = true;
    }
}

bool handAnswers() { return state.hand.hand != nullptr; }

// The result for the n-th call (counting from 0) of an operation.
DWORD nthResult(const std::vector<uint32_t>& results, size_t* calls) {
    const size_t n = (*calls)++;
    if (results.empty()) {
        return RESULT_OK;
    }
    return results[n < results.size() ? n : results.size() - 1];
}

void logCall(const std::string& line) {
    if (state.script.logPath.empty()) {
        return;
    }
    if (FILE* log = std::fopen(state.script.logPath.c_str(), "a")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

bool passesFilter(uint32_t id) { return id >= state.filterLowest && id <= state.filterHighest; }

}  // namespace

extern "C" {

DWORD WINAPI doubleInit(WORD bitTiming, int frameType) {
    loadScript();
    char line[64];
    std::snprintf(line, sizeof line, "CAN_Init 0x%04x %d", static_cast<unsigned>(bitTiming),
                  frameType);
    logCall(line);
    if (state.broken) {
        return DOUBLE_BAD_SCRIPT;
    }
    const DWORD result = nthResult(state.script.initResults, &state.initCalls);
    return result == RESULT_OK && handAnswers() ? doubleHandInit(&state.hand, bitTiming) : result;
}

DWORD WINAPI doubleResetClient() {
    loadScript();
    logCall("CAN_ResetClient");
    const DWORD result = nthResult(state.script.resetResults, &state.resetCalls);
    return result == RESULT_OK && handAnswers() ? doubleHandReset(&state.hand) : result;
}

DWORD WINAPI doubleMsgFilter(DWORD lowestId, DWORD highestId, int frameType) {
    loadScript();
    char line[96];
    std::snprintf(line, sizeof line, "CAN_MsgFilter %lu %lu %d",
                  static_cast<unsigned long>(lowestId), static_cast<unsigned long>(highestId),
                  frameType);
    logCall(line);
    const DWORD result = nthResult(state.script.filterResults, &state.filterCalls);
    if (result != RESULT_OK) {
        return result;
    }
    state.filterLowest = lowestId;
    state.filterHighest = highestId;
    return handAnswers() ? doubleHandFilter(&state.hand, lowestId, highestId) : result;
}

DWORD WINAPI doubleRead(uint8_t* record) {
    loadScript();
    if (handAnswers()) {
        return doubleHandRead(&state.hand, record);
    }
    std::deque<DoubleRead>& queue = state.script.reads;
    while (!queue.empty() && queue.front().kind == DoubleRead::EMPTY &&
           queue.front().emptyCount == 0) {
        queue.pop_front();
    }
    if (queue.empty()) {
        return RESULT_QUEUE_EMPTY;
    }
    DoubleRead& next = queue.front();
    if (next.kind == DoubleRead::EMPTY) {
        --next.emptyCount;
        return RESULT_QUEUE_EMPTY;
    }
    if (next.kind == DoubleRead::ERROR_RESULT) {
        const DWORD code = next.errorCode;
        queue.pop_front();
        return code;
    }
    std::memcpy(record, next.record, DOUBLE_RECORD_SIZE);
    queue.pop_front();
    return RESULT_OK;
}

DWORD WINAPI doubleWrite(const uint8_t* record) {
    loadScript();
    logCall("write " + recordText(record));
    if (state.script.echo && passesFilter(recordId(record))) {
        DoubleRead echo{};
        echo.kind = DoubleRead::FRAME;
        std::memcpy(echo.record, record, DOUBLE_RECORD_SIZE);
        state.script.reads.push_back(echo);
    }
    const DWORD result = nthResult(state.script.writeResults, &state.writeCalls);
    return result == RESULT_OK && handAnswers() ? doubleHandWrite(&state.hand, record) : result;
}

}  // extern "C"
