#include "app/run_record.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/download_together.h"
#include "app/json_writer.h"
#include "can/can_backend.h"
#include "dovel_build_info.h"
#include "protocol/role.h"

namespace {

// What the file check found, without the image's bytes.
struct ImageEntry {
    std::string path;
    int verdict;
    bool read;  // the file was read: the scan's counts and the hash mean something
    std::string problem;
    std::string sha256;
    std::string checkedAgainst;
    ImageScan scan;
};

struct StatusEntry {
    int id;
    DovelCheck check;
    DovelCheckAnswer readings;
};

// The run as far as it went. One run, one record: this is the one state of the process
// that outlives a call, since the record is written as the run ends, wherever it ends.
struct RunState {
    bool active = false;
    std::string reportPath;
    bool handGiven = false;
    std::string hand;
    RunMode command = RUN_UPDATE;
    std::vector<std::string> arguments;
    int64_t startMs = 0;
    std::vector<std::string> refusals;
    bool linkUp = false;
    std::string backend;
    bool interfaceKnown = false;
    std::string interface;
    std::string linkProblem;  // the last failed start-up's, "" when none failed
    std::string downloadMode;
    bool dovelIdsGiven = false;
    DovelIds dovelIds = 0;
    std::vector<ImageEntry> images;
    std::vector<StatusEntry> status;
    bool walksBegan = false;
    bool walksEnded = false;
    UpdateOutcome outcome{};
    RunPhase phase = PHASE_START_UP;
    bool reached[DOVEL_COUNT] = {};     // a step of the walks began for it
    RunPhase stepOf[DOVEL_COUNT] = {};  // the last step that began for it
};

RunState run;

// The download counters the interrupted run's record reads when the signal comes.
const DownloadReport* volatile downloadCounters[DOVEL_COUNT];

// The record an interruption leaves, made beforehand: everything but its last members.
// Two buffers, so that the handler always finds a whole one while the other is made.
// Where a download counter goes, the text has SLOT_MARK and then the slot's code: the
// controller's index times SLOT_FIELDS plus the field. JSON text never holds the byte
// SLOT_MARK itself: the writer escapes every control character inside a string.
constexpr size_t INTERRUPTED_RECORD_SIZE = 32 * 1024;
constexpr size_t REPORT_PATH_SIZE = 4096;
constexpr char SLOT_MARK = '\x01';
enum SlotField { SLOT_STARTED, SLOT_PERCENT, SLOT_CHARACTERS, SLOT_FIELDS };
// Room for every slot's value and the members the handler adds.
constexpr size_t INTERRUPTED_TAIL_SIZE = 512;
char interruptedHead[2][INTERRUPTED_RECORD_SIZE];
size_t interruptedHeadSize[2];
volatile std::sig_atomic_t interruptedActive = -1;
char interruptedRecord[INTERRUPTED_RECORD_SIZE + INTERRUPTED_TAIL_SIZE];
char reportPathForSignal[REPORT_PATH_SIZE];
RecordWriter recordWriter = appendRecordBytes;

const char* commandWord(RunMode command) {
    switch (command) {
        case RUN_STATUS:
            return "status";
        case RUN_CHECK:
            return "check";
        case RUN_UPDATE:
        case RUN_HELP:
        case RUN_VERSION:
            break;
    }
    return "update";
}

const char* checkWord(DovelCheck check) {
    switch (check) {
        case CHECK_MAIN_FIRMWARE:
            return "running";
        case CHECK_IN_MONITOR:
            return "in_monitor";
        case CHECK_NO_REPLY:
            return "no_reply";
        case CHECK_NOT_ITS_ID:
            return "not_its_id";
        case CHECK_NOT_HAND_ROLE:
            return "not_hand_role";
        case CHECK_WRONG_VERSION:
            return "wrong_version";
        case CHECK_LINK_DOWN:
            break;
    }
    return "link_down";
}

const char* phaseWord(RunPhase phase) {
    switch (phase) {
        case PHASE_START_UP:
            return "start_up";
        case PHASE_RETRY_PROMPT:
            return "retry_prompt";
        case PHASE_FILE_CHECK:
            return "file_check";
        case PHASE_STATUS_CHECK:
            return "status_check";
        case PHASE_PREPARING:
            return "preparing";
        case PHASE_RESET_WAIT:
            return "reset_wait";
        case PHASE_DOWNLOADING:
            return "downloading";
        case PHASE_RESTORING:
            return "restoring";
        case PHASE_CHECKING:
            return "checking";
        case PHASE_SUMMARY:
            break;
    }
    return "summary";
}

const char* verdictWord(int verdict) {
    switch (verdict) {
        case FILE_CHECK_PASSED:
            return "passed";
        case FILE_CHECK_WARNED:
            return "warned";
        default:
            return "refused";
    }
}

bool imageFailedCheck() {
    return !run.images.empty() && run.images.front().verdict == FILE_CHECK_WARNED;
}

// The same order of causes as the summary's first failure.
const char* dovelOutcomeWord(const DovelOutcome& dovel) {
    if (dovel.leftOut) {
        return "not_named";
    }
    if (dovelUpdated(dovel)) {
        return imageFailedCheck() ? "took_failed_image" : "updated";
    }
    if (dovel.prepare == PREPARE_NOT_FOUND) {
        return "not_found";
    }
    if (dovel.prepare == PREPARE_FAILED) {
        return "not_prepared";
    }
    if (dovelDownloadStartUnanswered(dovel)) {
        return "download_start_not_answered";
    }
    if (!dovel.downloaded) {
        return dovel.download.started ? "download_stopped" : "download_not_started";
    }
    if (!dovel.restored) {
        return "not_restored";
    }
    if (dovel.check == CHECK_LINK_DOWN) {
        return "not_checked";
    }
    if (dovel.check == CHECK_WRONG_VERSION) {
        return "wrong_version";
    }
    if (dovel.check == CHECK_NOT_HAND_ROLE) {
        return "not_hand_role";
    }
    if (dovel.check == CHECK_NO_REPLY) {
        return "check_not_answered";
    }
    if (dovel.check == CHECK_IN_MONITOR) {
        return "in_monitor";
    }
    return dovel.check == CHECK_NOT_ITS_ID ? "not_its_id" : "not_running";
}

void hexWordOrNull(JsonWriter* w, const char* key, bool known, unsigned long long word) {
    if (known) {
        jsonHexWord(w, key, word);
    } else {
        jsonNull(w, key);
    }
}

void writeImage(JsonWriter* w, const ImageEntry* image) {
    if (image == nullptr) {
        jsonNull(w, "image");
        return;
    }
    jsonOpenObject(w, "image");
    jsonString(w, "path", image->path.c_str());
    jsonString(w, "verdict", verdictWord(image->verdict));
    jsonString(w, "problem", image->problem.empty() ? nullptr : image->problem.c_str());
    jsonString(w, "sha256", image->read ? image->sha256.c_str() : nullptr);
    jsonString(w, "checked_against",
               image->checkedAgainst.empty() ? nullptr : image->checkedAgainst.c_str());
    const ImageScan& scan = image->scan;
    if (image->read) {
        jsonInteger(w, "bytes", scan.fileBytes);
        jsonInteger(w, "records", scan.dataRecords);
        jsonInteger(w, "symbol_records", scan.symbolRecords);
        jsonInteger(w, "data_bytes", scan.dataBytes);
    } else {
        for (const char* key : {"bytes", "records", "symbol_records", "data_bytes"}) {
            jsonNull(w, key);
        }
    }
    const bool range = image->read && scan.dataBytes > 0;
    hexWordOrNull(w, "lowest_address", range, scan.lowestAddress);
    hexWordOrNull(w, "highest_address", range, scan.highestAddress);
    hexWordOrNull(w, "start_address", image->read, scan.startAddress);
    jsonCloseObject(w);
}

// A member whose value the handler writes from the download's counters.
void counterSlot(JsonWriter* w, const char* key, int dovelIndex, SlotField field) {
    jsonNull(w, key);
    w->text.resize(w->text.size() - std::strlen("null"));
    w->text += SLOT_MARK;
    w->text += static_cast<char>(dovelIndex * SLOT_FIELDS + field);
}

// In the record of an interruption, the controller at index: its download counters as the
// signal finds them, where a download keeps them.
void writeInterruptedDovel(JsonWriter* w, const DovelOutcome& dovel, int index, bool leftOut) {
    jsonOpenObject(w, nullptr);
    jsonInteger(w, "id", FIRST_DOVEL_ID + index);
    if (leftOut) {
        jsonString(w, "outcome", "not_named");
    } else {
        jsonString(w, "outcome", "interrupted");
        jsonString(w, "step", phaseWord(run.stepOf[index]));
    }
    jsonNull(w, "summary");
    jsonBool(w, "link_down", dovel.linkDown);
    hexWordOrNull(w, "role_read", dovel.prepare == PREPARED, roleWordForDisplay(dovel.roleRead));
    hexWordOrNull(w, "role_stored", dovel.restored, dovel.storedRole);
    jsonNull(w, "check");
    hexWordOrNull(w, "vers", dovel.checked.versRead, dovel.checked.vers);
    const bool counted = downloadCounters[index] != nullptr;
    if (counted) {
        counterSlot(w, "download_started", index, SLOT_STARTED);
    } else {
        jsonBool(w, "download_started", dovel.download.started);
    }
    jsonBool(w, "downloaded", dovel.downloaded);
    if (counted) {
        counterSlot(w, "download_percent", index, SLOT_PERCENT);
        counterSlot(w, "characters", index, SLOT_CHARACTERS);
    } else {
        jsonInteger(w, "download_percent", dovel.download.percent);
        jsonInteger(w, "characters", dovel.download.characters);
    }
    jsonInteger(w, "download_ms", dovel.download.durationUs / 1000);
    jsonBool(w, "named", !leftOut);
    jsonCloseObject(w);
}

// In the record of a finished update.
void writeUpdateDovel(JsonWriter* w, const DovelOutcome& dovel) {
    jsonOpenObject(w, nullptr);
    jsonInteger(w, "id", dovel.id);
    jsonString(w, "outcome", dovelOutcomeWord(dovel));
    char words[160];
    dovelSummaryWords(dovel, imageFailedCheck(), words, sizeof words);
    jsonString(w, "summary", dovel.leftOut ? nullptr : words);
    jsonBool(w, "link_down", dovel.linkDown);
    hexWordOrNull(w, "role_read", dovel.prepare == PREPARED, roleWordForDisplay(dovel.roleRead));
    hexWordOrNull(w, "role_stored", dovel.restored, dovel.storedRole);
    jsonString(w, "check", checkWord(dovel.check));
    hexWordOrNull(w, "vers", dovel.checked.versRead, dovel.checked.vers);
    jsonBool(w, "download_started", dovel.download.started);
    jsonBool(w, "downloaded", dovel.downloaded);
    jsonInteger(w, "download_percent", dovel.download.percent);
    jsonInteger(w, "characters", dovel.download.characters);
    jsonInteger(w, "download_ms", dovel.download.durationUs / 1000);
    jsonBool(w, "named", !dovel.leftOut);
    jsonCloseObject(w);
}

void writeStatusDovel(JsonWriter* w, const StatusEntry& entry) {
    jsonOpenObject(w, nullptr);
    jsonInteger(w, "id", entry.id);
    jsonString(w, "outcome", checkWord(entry.check));
    hexWordOrNull(w, "vers", entry.readings.versRead, entry.readings.vers);
    hexWordOrNull(w, "role", entry.readings.roleRead, entry.readings.role);
    jsonCloseObject(w);
}

int updatedCount(bool tookFailedImage) {
    int count = 0;
    for (const DovelOutcome& dovel : run.outcome.dovels) {
        if (dovel.id != 0 && dovelUpdated(dovel) && imageFailedCheck() == tookFailedImage) {
            ++count;
        }
    }
    return count;
}

// Controllers DOVEL_IDS left out that the final check found running their main firmware.
int leftOutRunningCount() {
    int count = 0;
    for (const DovelOutcome& dovel : run.outcome.dovels) {
        count += dovel.leftOut && run.walksEnded && dovel.check == CHECK_MAIN_FIRMWARE ? 1 : 0;
    }
    return count;
}

int runningCount() {
    int count = 0;
    for (const StatusEntry& entry : run.status) {
        count += entry.check == CHECK_MAIN_FIRMWARE ? 1 : 0;
    }
    return count;
}

int passedCount() {
    int count = 0;
    for (const ImageEntry& image : run.images) {
        count += image.verdict == FILE_CHECK_PASSED ? 1 : 0;
    }
    return count;
}

const char* resultWord(const ImageEntry* image, bool interrupted) {
    if (interrupted) {
        return "interrupted";
    }
    if (!run.refusals.empty()) {
        return "settings_refused";
    }
    if (run.command == RUN_CHECK) {
        return image != nullptr && image->verdict == FILE_CHECK_PASSED ? "image_passed"
                                                                       : "image_refused";
    }
    if (!run.linkUp) {
        return "link_not_started";
    }
    if (run.command == RUN_STATUS) {
        return runningCount() == DOVEL_COUNT ? "all_running" : "not_all_running";
    }
    if (!run.walksEnded) {
        return "image_refused";
    }
    return updateComplete(run.outcome, updatedCount(false)) ? "updated" : "not_updated";
}

void writeCounts(JsonWriter* w) {
    jsonOpenObject(w, "counts");
    if (run.command == RUN_CHECK) {
        const int images = static_cast<int>(run.images.size());
        jsonInteger(w, "images", images);
        jsonInteger(w, "passed", passedCount());
        jsonInteger(w, "refused", images - passedCount());
    } else if (run.command == RUN_STATUS) {
        jsonInteger(w, "dovels", DOVEL_COUNT);
        jsonInteger(w, "running", runningCount());
        jsonInteger(w, "not_running", DOVEL_COUNT - runningCount());
    } else {
        const int updated = updatedCount(false);
        const int tookFailedImage = updatedCount(true);
        const int named = namedDovelCount(run.outcome);
        jsonInteger(w, "dovels", named);
        jsonInteger(w, "updated", updated);
        jsonInteger(w, "took_failed_image", tookFailedImage);
        jsonInteger(w, "not_updated", named - updated - tookFailedImage);
        if (someLeftOut(run.outcome)) {
            jsonInteger(w, "not_named", DOVEL_COUNT - named);
            jsonInteger(w, "not_named_running", leftOutRunningCount());
        }
    }
    jsonCloseObject(w);
}

// Whether and why downloads asked to run together did not all do so, in the summary's
// words; "" when they ran as asked.
std::string downloadFallback(const UpdateOutcome& outcome) {
    char words[DOWNLOAD_FALLBACK_WORDS_SIZE];
    return downloadFallbackWords(outcome.download, words, sizeof words) ? words : "";
}

// Every member but the exit status and the end time, the object left open; for an
// interruption, also the exit status (null) and the phase.
JsonWriter recordHead(const ImageEntry* image, bool interrupted) {
    JsonWriter w;
    jsonOpenObject(&w, nullptr);
    jsonInteger(&w, "schema", RUN_RECORD_SCHEMA);
    jsonString(&w, "utility", "dovelflash");
    jsonString(&w, "version", DOVEL_VERSION_TEXT);
    jsonString(&w, "command", commandWord(run.command));
    jsonOpenArray(&w, "arguments");
    for (const std::string& word : run.arguments) {
        jsonString(&w, nullptr, word.c_str());
    }
    jsonCloseArray(&w);
    jsonString(&w, "hand", run.handGiven ? run.hand.c_str() : nullptr);
    char start[UTC_TIME_SIZE];
    formatUtcTime(run.startMs, start);
    jsonString(&w, "start", start);
    jsonString(&w, "backend", run.linkUp ? run.backend.c_str() : nullptr);
    jsonString(&w, "interface", run.interfaceKnown ? run.interface.c_str() : nullptr);
    jsonString(&w, "link_problem", run.linkProblem.empty() ? nullptr : run.linkProblem.c_str());
    jsonString(&w, "download_mode", run.downloadMode.empty() ? nullptr : run.downloadMode.c_str());
    const std::string fallback = run.walksBegan ? downloadFallback(run.outcome) : "";
    jsonString(&w, "download_fallback", fallback.empty() ? nullptr : fallback.c_str());
    if (run.dovelIdsGiven) {
        jsonOpenArray(&w, "dovel_ids");
        for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
            if (dovelIdNamed(run.dovelIds, id)) {
                jsonInteger(&w, nullptr, id);
            }
        }
        jsonCloseArray(&w);
    } else {
        jsonNull(&w, "dovel_ids");
    }
    jsonString(&w, "result", resultWord(image, interrupted));
    jsonOpenArray(&w, "refusals");
    for (const std::string& why : run.refusals) {
        jsonString(&w, nullptr, why.c_str());
    }
    jsonCloseArray(&w);
    writeImage(&w, image);
    jsonOpenArray(&w, "dovels");
    if (run.command == RUN_STATUS) {
        for (const StatusEntry& entry : run.status) {
            writeStatusDovel(&w, entry);
        }
    } else if (interrupted) {
        for (int i = 0; i < DOVEL_COUNT; ++i) {
            // Those DOVEL_IDS left out are listed as such; the walks reach none of them.
            const bool leftOut =
                run.dovelIdsGiven && !dovelIdNamed(run.dovelIds, FIRST_DOVEL_ID + i);
            if (run.reached[i] || leftOut) {
                writeInterruptedDovel(&w, run.outcome.dovels[i], i, leftOut);
            }
        }
    } else if (run.walksBegan) {
        for (const DovelOutcome& dovel : run.outcome.dovels) {
            if (dovel.id != 0) {
                writeUpdateDovel(&w, dovel);
            }
        }
    }
    jsonCloseArray(&w);
    if (run.command == RUN_UPDATE) {
        const char* reason = run.outcome.linkDownReason;
        jsonString(&w, "link_down_reason", reason[0] != '\0' ? reason : nullptr);
    }
    writeCounts(&w);
    if (interrupted) {
        jsonNull(&w, "exit_status");
        jsonString(&w, "phase", phaseWord(run.phase));
    }
    return w;
}

// Made anew whenever a step changes, never per character: the handler finds the buffer
// published last whole, since the index is switched only after a fence.
void prepareInterruptedRecord() {
    if (!run.active || reportPathForSignal[0] == '\0') {
        return;
    }
    const JsonWriter w = recordHead(run.images.empty() ? nullptr : &run.images.front(), true);
    const int next = interruptedActive == 0 ? 1 : 0;
    if (w.text.size() > INTERRUPTED_RECORD_SIZE) {
        interruptedActive = -1;  // too long to prepare: no record of an interruption
        return;
    }
    w.text.copy(interruptedHead[next], w.text.size());
    interruptedHeadSize[next] = w.text.size();
    std::atomic_signal_fence(std::memory_order_release);
    interruptedActive = next;
}

// Async-signal-safe helpers: no library call that may take a lock or allocate.
size_t appendText(char* to, size_t at, const char* text) {
    while (*text != '\0') {
        to[at++] = *text++;
    }
    return at;
}

// A counter, never negative.
size_t appendNumber(char* to, size_t at, long long value) {
    char digits[24];
    int count = 0;
    unsigned long long rest = value > 0 ? static_cast<unsigned long long>(value) : 0;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (count > 0) {
        to[at++] = digits[--count];
    }
    return at;
}

// The slot's value as the download's counters hold it now.
size_t appendSlot(char* to, size_t at, unsigned char code) {
    const int index = code / SLOT_FIELDS;
    const volatile DownloadReport* report = index < DOVEL_COUNT ? downloadCounters[index] : nullptr;
    if (report == nullptr) {
        return appendText(to, at, "null");
    }
    switch (code % SLOT_FIELDS) {
        case SLOT_STARTED:
            return appendText(to, at, report->started ? "true" : "false");
        case SLOT_PERCENT:
            return appendNumber(to, at, report->percent);
        default:
            return appendNumber(to, at, report->characters);
    }
}

void putDigits(char* to, long long value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        to[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

const char MENDED_LINE[] =
    "dovelflash: DOVEL_REPORT: the file did not end with a line end (a record cut short); "
    "one was written before this run's record\n";

bool writeOneRecord(const std::string& text) {
    const char* path = run.reportPath.c_str();
    bool mended = false;
    const int error = recordWriter(path, text.data(), text.size(), &mended);
    if (mended) {
        std::fputs(MENDED_LINE, stderr);
    }
    if (error != 0) {
        std::fprintf(stderr, "dovelflash: %s: the run's record was not written to %s: %s\n",
                     REPORT_VARIABLE, path, recordErrorText(error));
        return false;
    }
    return true;
}

std::string finishedRecord(const ImageEntry* image, int exitStatus, int64_t endMs) {
    JsonWriter w = recordHead(image, false);
    jsonInteger(&w, "exit_status", exitStatus);
    char end[UTC_TIME_SIZE];
    formatUtcTime(endMs, end);
    jsonString(&w, "end", end);
    jsonCloseObject(&w);
    return w.text + "\n";
}

}  // namespace

void formatUtcTime(int64_t unixMs, char (&text)[UTC_TIME_SIZE]) {
    const int64_t ms = ((unixMs % 1000) + 1000) % 1000;
    const int64_t seconds = (unixMs - ms) / 1000;
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    // The civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    // YYYY-MM-DDTHH:MM:SS.mmmZ
    putDigits(text, year, 4);
    text[4] = '-';
    putDigits(text + 5, month, 2);
    text[7] = '-';
    putDigits(text + 8, day, 2);
    text[10] = 'T';
    putDigits(text + 11, secondOfDay / 3600, 2);
    text[13] = ':';
    putDigits(text + 14, secondOfDay / 60 % 60, 2);
    text[16] = ':';
    putDigits(text + 17, secondOfDay % 60, 2);
    text[19] = '.';
    putDigits(text + 20, ms, 3);
    text[23] = 'Z';
    text[24] = '\0';
}

void recordBegin(const char* reportPath, const char* handLabel, RunMode command, int argc,
                 char** argv) {
    interruptedActive = -1;
    reportPathForSignal[0] = '\0';
    for (const DownloadReport* volatile& counters : downloadCounters) {
        counters = nullptr;
    }
    run = RunState{};
    if (reportPath == nullptr || reportPath[0] == '\0') {
        return;
    }
    run.active = true;
    run.reportPath = reportPath;
    run.handGiven = handLabel != nullptr && handLabel[0] != '\0';
    run.hand = run.handGiven ? handLabel : "";
    run.command = command;
    for (int i = 1; i < argc; ++i) {
        run.arguments.emplace_back(argv[i]);
    }
    run.startMs = wallClockNowMs();
    // A path too long to keep for the handler: only that run's interruption goes unrecorded.
    if (run.reportPath.size() < REPORT_PATH_SIZE) {
        run.reportPath.copy(reportPathForSignal, run.reportPath.size());
        reportPathForSignal[run.reportPath.size()] = '\0';
    }
    prepareInterruptedRecord();
}

void recordSettingsRefused(const char* why) {
    if (run.active) {
        run.refusals.emplace_back(why);
        prepareInterruptedRecord();
    }
}

void recordLink() {
    const CanBackend* backend = canCurrentBackend();
    if (!run.active || backend == nullptr) {
        return;
    }
    run.linkUp = true;
    run.linkProblem.clear();
    run.backend = backend->name;
    const char* iface = backend->traceInterface != nullptr ? backend->traceInterface() : nullptr;
    run.interfaceKnown = iface != nullptr;
    run.interface = iface != nullptr ? iface : "";
    prepareInterruptedRecord();
}

void recordLinkFailed(const char* problem) {
    if (run.active) {
        run.linkProblem = problem != nullptr ? problem : "";
        prepareInterruptedRecord();
    }
}

void recordDownloadMode(DownloadMode mode) {
    if (run.active) {
        run.downloadMode = mode == DOWNLOAD_TOGETHER ? "together" : "one-by-one";
        prepareInterruptedRecord();
    }
}

void recordDovelIds(bool given, DovelIds ids) {
    if (run.active) {
        run.dovelIdsGiven = given;
        run.dovelIds = ids;
    }
}

void recordImage(const char* path, const FirmwareFileCheck& check) {
    if (!run.active) {
        return;
    }
    ImageEntry image{};
    image.path = path;
    image.verdict = check.verdict;
    image.read = check.sha256[0] != '\0';
    image.problem = check.verdict == FILE_CHECK_PASSED ? "" : check.problem;
    image.sha256 = check.sha256;
    image.checkedAgainst = check.checkedAgainst;
    image.scan = check.scan;
    run.images.push_back(image);
    prepareInterruptedRecord();
}

void recordImageRefused(const char* path, const char* problem) {
    if (!run.active) {
        return;
    }
    ImageEntry image{};
    image.path = path;
    image.verdict = FILE_CHECK_REFUSED;
    image.problem = problem;
    run.images.push_back(image);
    prepareInterruptedRecord();
}

void recordStatusDovel(int id, DovelCheck check, const DovelCheckAnswer& readings) {
    if (run.active) {
        run.status.push_back(StatusEntry{id, check, readings});
        prepareInterruptedRecord();
    }
}

void recordPhase(RunPhase phase, int dovelId) {
    if (!run.active) {
        return;
    }
    run.phase = phase;
    for (int i = 0; i < DOVEL_COUNT && phase >= PHASE_PREPARING && phase != PHASE_SUMMARY; ++i) {
        if (dovelId == 0 ? phase != PHASE_RESET_WAIT : dovelId == FIRST_DOVEL_ID + i) {
            run.reached[i] = true;
            run.stepOf[i] = phase;
        }
    }
    prepareInterruptedRecord();
}

void recordWalksBegin(const UpdateOutcome* live) {
    if (!run.active) {
        return;
    }
    for (int i = 0; i < DOVEL_COUNT; ++i) {
        recordDownloadCounters(i, live != nullptr ? &live->dovels[i].download : nullptr);
    }
    run.walksBegan = true;
    prepareInterruptedRecord();
}

void recordDownloadCounters(int dovelIndex, const DownloadReport* report) {
    if (dovelIndex >= 0 && dovelIndex < DOVEL_COUNT) {
        downloadCounters[dovelIndex] = report;
    }
}

void recordWalksProgress(const UpdateOutcome& outcome) {
    if (!run.active || !run.walksBegan) {
        return;
    }
    run.outcome = outcome;
    prepareInterruptedRecord();
}

void recordUpdate(const UpdateOutcome& outcome) {
    if (!run.active) {
        return;
    }
    run.walksBegan = true;
    run.walksEnded = true;
    run.outcome = outcome;
    run.phase = PHASE_SUMMARY;
    prepareInterruptedRecord();
}

void recordUseWriter(RecordWriter writer) {
    recordWriter = writer != nullptr ? writer : appendRecordBytes;
}

int recordEnd(int exitStatus, bool statusReported) {
    if (!run.active) {
        interruptedActive = -1;
        return exitStatus;
    }
    // A signal now waits until this run's record is written, and then finds it written.
    holdInterruptions(true);
    interruptedActive = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const int64_t endMs = wallClockNowMs();
    bool written = true;
    if (run.command == RUN_CHECK && !run.images.empty()) {
        for (const ImageEntry& image : run.images) {
            written = written && writeOneRecord(finishedRecord(&image, exitStatus, endMs));
        }
    } else {
        const ImageEntry* image = run.images.empty() ? nullptr : &run.images.front();
        written = writeOneRecord(finishedRecord(image, exitStatus, endMs));
    }
    run.active = false;  // one run, one record
    holdInterruptions(false);
    return !written && statusReported && exitStatus == 0 ? EXIT_RECORD_NOT_WRITTEN : exitStatus;
}

void recordInterrupted(const char* signalName) {
    const int active = interruptedActive;
    if (active < 0) {
        return;
    }
    interruptedActive = -1;  // one record, also when another signal comes after this one
    std::atomic_signal_fence(std::memory_order_acquire);
    size_t at = 0;
    const char* head = interruptedHead[active];
    const size_t size = interruptedHeadSize[active];
    for (size_t i = 0; i < size; ++i) {
        if (head[i] == SLOT_MARK && i + 1 < size) {
            at = appendSlot(interruptedRecord, at, static_cast<unsigned char>(head[++i]));
        } else {
            interruptedRecord[at++] = head[i];
        }
    }
    at = appendText(interruptedRecord, at, ",\"signal\":\"");
    at = appendText(interruptedRecord, at, signalName);
    at = appendText(interruptedRecord, at, "\"");
    char end[UTC_TIME_SIZE];
    formatUtcTime(wallClockNowMs(), end);
    at = appendText(interruptedRecord, at, ",\"end\":\"");
    at = appendText(interruptedRecord, at, end);
    at = appendText(interruptedRecord, at, "\"}\n");
    bool mended = false;
    const int error = recordWriter(reportPathForSignal, interruptedRecord, at, &mended);
    if (mended) {
        writeStandardError(MENDED_LINE, sizeof MENDED_LINE - 1);
    }
    if (error != 0) {
        static const char LINE[] =
            "dovelflash: DOVEL_REPORT: the record of the interrupted run was not written\n";
        writeStandardError(LINE, sizeof LINE - 1);
    }
}
