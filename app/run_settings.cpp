#include "app/run_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/expected_version.h"
#include "can/can_backend.h"
#include "can/can_trace.h"
#include "firmware/release_checksum.h"
#include "firmware/sha256.h"

#if defined(_WIN32)
#define DOVEL_ENVIRONMENT _environ
#else
extern char** environ;
#define DOVEL_ENVIRONMENT environ
#endif

const char* const KNOWN_SETTING_VARIABLES[] = {
    CAN_VARIABLE,
    CAN_TRACE_VARIABLE,
    SIM_TRACE_VARIABLE,
    CAN_TRACE_UNMASKED_VARIABLE,
    IMAGE_CHECK_VARIABLE,
    IMAGE_SHA256_VARIABLE,
    REPORT_VARIABLE,
    DOWNLOAD_MODE_VARIABLE,
    HAND_VARIABLE,
    EXPECT_VERS_VARIABLE,
    EXIT_STATUS_VARIABLE,
    IDS_VARIABLE,
    nullptr,
};

namespace {

constexpr const char* SETTINGS_PREFIX = "DOVEL_";
// A name a few edits from a known one is taken for a slip in typing it: one edit for a
// short name, one for every few characters of a longer one, never more than three. One
// further away (another program's variable, DOVEL_FOO) is not said to be meant as it.
constexpr size_t MOST_TYPING_SLIPS = 3;
constexpr size_t CHARACTERS_PER_SLIP = 4;

size_t slipsAllowed(const std::string& known) {
    const size_t length = known.size() - std::strlen(SETTINGS_PREFIX);
    return std::clamp<size_t>(length / CHARACTERS_PER_SLIP, 1, MOST_TYPING_SLIPS);
}

struct OptionWord {
    const char* word;
    RunMode mode;
};

// The words that choose what the run does, where they are the first word.
constexpr OptionWord OPTION_WORDS[] = {
    {"--check", RUN_CHECK}, {"--status", RUN_STATUS},   {"--help", RUN_HELP},
    {"-h", RUN_HELP},       {"--version", RUN_VERSION},
};

const OptionWord* optionWord(const char* word) {
    for (const OptionWord& option : OPTION_WORDS) {
        if (std::strcmp(word, option.word) == 0) {
            return &option;
        }
    }
    return nullptr;
}

// An empty value counts as unset, as Windows has no other way to unset a variable.
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void refuse(RunSettings* settings, const char* name, const std::string& value, const char* takes) {
    settings->problems.push_back(std::string(name) + " is \"" + shownValue(value) +
                                 "\"; it takes " + takes);
}

void readWords(int argc, char** argv, RunSettings* settings) {
    int first = 1;
    settings->mode = RUN_UPDATE;
    if (argc >= 2) {
        if (const OptionWord* option = optionWord(argv[1])) {
            settings->mode = option->mode;
            first = 2;
        }
    }
    for (int i = first; i < argc && settings->wordProblem == WORD_OK; ++i) {
        const char* word = argv[i];
        if (settings->mode == RUN_STATUS) {
            // --status takes no word at all, an option or a path alike.
            settings->wordProblem = WORD_AFTER_STATUS;
            settings->problemWord = word;
            return;
        }
        if (optionWord(word) != nullptr) {
            // "dovelflash dovel2.tek --check": its typist meant the option, not an update.
            settings->wordProblem = WORD_MISPLACED_OPTION;
        } else if (word[0] == '-') {
            // A guessed option ("--dry-run") must never be taken for an image or ignored.
            settings->wordProblem = WORD_UNKNOWN_OPTION;
        } else if (settings->mode == RUN_HELP || settings->mode == RUN_VERSION) {
            // The option that takes no word is the one that is out of place.
            settings->wordProblem = WORD_MISPLACED_OPTION;
            settings->problemWord = argv[1];
            return;
        }
        settings->problemWord = word;
    }
    if (settings->wordProblem != WORD_OK) {
        return;
    }
    if (settings->mode == RUN_CHECK) {
        settings->images.assign(argv + first, argv + argc);
    } else if (settings->mode == RUN_UPDATE && argc >= 2) {
        // Further words are echoed with the arguments and otherwise ignored.
        settings->images.push_back(argv[1]);
    }
    if ((settings->mode == RUN_CHECK || settings->mode == RUN_UPDATE) && settings->images.empty()) {
        settings->images.push_back(DEFAULT_IMAGE_PATH);
    }
}

bool isHexDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
}

void readEnvironment(RunSettings* settings) {
    const std::string can = variable(CAN_VARIABLE);
    settings->canSetting = can.empty() ? canDefaultBackendSetting() : can;
    std::string problem;
    if (canCheckBackendSetting(settings->canSetting.c_str(), &problem) != 0) {
        settings->problems.push_back(std::string(CAN_VARIABLE) + " is \"" +
                                     shownValue(settings->canSetting) + "\"; " + problem);
    }
    settings->canTrace = variable(CAN_TRACE_VARIABLE);
    settings->simTrace = variable(SIM_TRACE_VARIABLE);

    const std::string unmasked = variable(CAN_TRACE_UNMASKED_VARIABLE);
    settings->traceUnmasked = unmasked == "1";
    if (!unmasked.empty() && unmasked != "1" && unmasked != "0") {
        refuse(settings, CAN_TRACE_UNMASKED_VARIABLE, unmasked, "1, or 0 to keep the mask");
    }

    const std::string imageCheck = variable(IMAGE_CHECK_VARIABLE);
    settings->imageCheck = imageCheck == "warn" ? IMAGE_CHECK_WARN : IMAGE_CHECK_STRICT;
    if (!imageCheck.empty() && imageCheck != "strict" && imageCheck != "warn") {
        refuse(settings, IMAGE_CHECK_VARIABLE, imageCheck, "strict or warn");
    }

    settings->imageSha256 = variable(IMAGE_SHA256_VARIABLE);
    if (!settings->imageSha256.empty() && (settings->imageSha256.size() != SHA256_HEX_SIZE - 1 ||
                                           !isHexDigits(settings->imageSha256))) {
        refuse(settings, IMAGE_SHA256_VARIABLE, settings->imageSha256,
               "the image's SHA-256 as 64 hex digits");
    }

    const std::string expectVers = variable(EXPECT_VERS_VARIABLE);
    if (!parseExpectedVersion(expectVers.c_str(), &settings->expectedVersion)) {
        refuse(settings, EXPECT_VERS_VARIABLE, expectVers,
               "a version as VERS is printed: 1 to 8 hex digits, with or without 0x (0x323f)");
    }

    const std::string download = variable(DOWNLOAD_MODE_VARIABLE);
    if (!parseDownloadMode(download.c_str(), &settings->downloadMode)) {
        refuse(settings, DOWNLOAD_MODE_VARIABLE, download, "one-by-one or together");
    }

    const std::string ids = variable(IDS_VARIABLE);
    settings->dovelIdsGiven = !ids.empty();
    if (!parseDovelIds(ids.c_str(), &settings->dovelIds)) {
        refuse(settings, IDS_VARIABLE, ids,
               "controller IDs from 11 to 14, each once, comma-separated (12 or 11,14)");
    }

    settings->reportPath = variable(REPORT_VARIABLE);
    settings->handLabel = variable(HAND_VARIABLE);
    settings->reportUsable = !settings->reportPath.empty();

    const std::string exitStatus = variable(EXIT_STATUS_VARIABLE);
    settings->exitStatusReport = exitStatus == "report";
    settings->exitStatusMalformed = !exitStatus.empty() && exitStatus != "report";
    if (settings->exitStatusMalformed) {
        refuse(settings, EXIT_STATUS_VARIABLE, exitStatus, "report");
    }
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A variable named like the utility's own that is none of them: a misspelt name would
// otherwise turn its setting off in silence.
void warnOfUnknownVariables(RunSettings* settings) {
    for (char** entry = DOVEL_ENVIRONMENT; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (name.rfind(SETTINGS_PREFIX, 0) != 0) {
            continue;
        }
        const char* const* known = KNOWN_SETTING_VARIABLES;
        while (*known != nullptr && name != *known) {
            ++known;
        }
        if (*known == nullptr) {
            const char* nearest = nearestSettingVariable(name);
            const bool likeIt = editDistance(name, nearest) <= slipsAllowed(nearest);
            settings->warnings.push_back(
                name + " is not a setting of this utility and is ignored" +
                (likeIt ? std::string("; did you mean ") + nearest + "?" : std::string()));
        }
    }
    std::sort(settings->warnings.begin(), settings->warnings.end());
}

}  // namespace

const char* nearestSettingVariable(const std::string& name) {
    const char* nearest = KNOWN_SETTING_VARIABLES[0];
    size_t best = editDistance(name, nearest);
    for (const char* const* known = KNOWN_SETTING_VARIABLES + 1; *known != nullptr; ++known) {
        const size_t distance = editDistance(name, *known);
        if (distance < best) {
            best = distance;
            nearest = *known;
        }
    }
    return nearest;
}

std::string shownValue(const std::string& value) {
    static const char* const NAMED[] = {"\\a", "\\b", "\\t", "\\n", "\\v", "\\f", "\\r"};
    constexpr unsigned char FIRST_NAMED = '\a';
    constexpr unsigned char LAST_NAMED = '\r';
    constexpr unsigned char DELETE = 0x7F;
    std::string shown;
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= FIRST_NAMED && byte <= LAST_NAMED) {
            shown += NAMED[byte - FIRST_NAMED];
        } else if (byte < ' ' || byte == DELETE) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else if (c == '"' || c == '\\') {
            shown += '\\';
            shown += c;
        } else {
            shown += c;
        }
    }
    return shown;
}

RunSettings readRunSettings(int argc, char** argv) {
    RunSettings settings{};
    readWords(argc, argv, &settings);
    readEnvironment(&settings);
    warnOfUnknownVariables(&settings);
    return settings;
}
