#include "sim/sim_options.h"

#include <set>
#include <tuple>
#include <vector>

namespace {

// A number in an option: decimal digits only, and no more than this.
constexpr long MAX_OPTION_NUMBER = 100000000;
constexpr int DECIMAL_RADIX = 10;

enum ArgumentKind {
    NO_ARGUMENT,
    DOVEL_ARGUMENT,
    DOVEL_COUNT_ARGUMENT,              // ID:N
    DOVEL_COUNT_OPTIONAL_MS_ARGUMENT,  // ID:N or ID:N:MS
    PROPERTY_ARGUMENT,
    COUNT_ARGUMENT,           // N
    POSITIVE_COUNT_ARGUMENT,  // N, at least 1
    TEXT_ARGUMENT,            // anything but empty
    READY_ARGUMENT,           // count or id
    RX_BUFFER_ARGUMENT,       // N, 0 to SIM_RX_BUFFER_OPTION_MAX
    DOVEL_PAIR_ARGUMENT,      // ID:OTHER, two controllers of the hand
};

enum OptionId {
    OPTION_FAST,
    OPTION_ZERO_TIME,
    OPTION_SILENT,
    OPTION_STATUS,
    OPTION_CRAZY_ID,
    OPTION_ROLE_STUCK,
    OPTION_STALL,
    OPTION_SLOW,
    OPTION_PACKED,
    OPTION_READ_ERROR,
    OPTION_FOREIGN,
    OPTION_LONG_LEN,
    OPTION_ERASE,
    OPTION_UNPLUG_AFTER,
    OPTION_LINK_DOWN_AFTER,
    OPTION_READY,
    OPTION_STATE,
    OPTION_HALT_AFTER,
    OPTION_POWER_OFF_AFTER,
    OPTION_LATENCY,
    OPTION_SHARED_REPLY_ID,
    OPTION_REPLY_ID_CHANGE,
    OPTION_RX_BUFFER,
    OPTION_STRAY,
    OPTION_CHAR_DELAY,
};

struct OptionSpec {
    const char* name;
    ArgumentKind argument;
    OptionId id;
};

constexpr OptionSpec OPTIONS[] = {
    {"fast", NO_ARGUMENT, OPTION_FAST},
    {"zero-time", NO_ARGUMENT, OPTION_ZERO_TIME},
    {"silent", DOVEL_ARGUMENT, OPTION_SILENT},
    {"status", DOVEL_ARGUMENT, OPTION_STATUS},
    {"crazy-id", DOVEL_ARGUMENT, OPTION_CRAZY_ID},
    {"role-stuck", DOVEL_ARGUMENT, OPTION_ROLE_STUCK},
    {"stall", DOVEL_COUNT_OPTIONAL_MS_ARGUMENT, OPTION_STALL},
    {"slow", DOVEL_COUNT_ARGUMENT, OPTION_SLOW},
    {"packed", PROPERTY_ARGUMENT, OPTION_PACKED},
    {"read-error", DOVEL_COUNT_ARGUMENT, OPTION_READ_ERROR},
    {"foreign", DOVEL_ARGUMENT, OPTION_FOREIGN},
    {"long-len", DOVEL_ARGUMENT, OPTION_LONG_LEN},
    {"erase", DOVEL_COUNT_ARGUMENT, OPTION_ERASE},
    {"unplug-after", COUNT_ARGUMENT, OPTION_UNPLUG_AFTER},
    {"link-down-after", COUNT_ARGUMENT, OPTION_LINK_DOWN_AFTER},
    {"ready", READY_ARGUMENT, OPTION_READY},
    {"state", TEXT_ARGUMENT, OPTION_STATE},
    {"halt-after", POSITIVE_COUNT_ARGUMENT, OPTION_HALT_AFTER},
    {"power-off-after", POSITIVE_COUNT_ARGUMENT, OPTION_POWER_OFF_AFTER},
    {"latency", COUNT_ARGUMENT, OPTION_LATENCY},
    {"shared-reply-id", NO_ARGUMENT, OPTION_SHARED_REPLY_ID},
    {"reply-id-change", DOVEL_ARGUMENT, OPTION_REPLY_ID_CHANGE},
    {"rx-buffer", RX_BUFFER_ARGUMENT, OPTION_RX_BUFFER},
    {"stray", DOVEL_PAIR_ARGUMENT, OPTION_STRAY},
    {"char-delay", DOVEL_COUNT_ARGUMENT, OPTION_CHAR_DELAY},
};

// A decimal number that makes up the whole of text, or -1.
long parseNumber(const std::string& text) {
    if (text.empty()) {
        return -1;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * DECIMAL_RADIX + (c - '0');
        if (value > MAX_OPTION_NUMBER) {
            return -1;
        }
    }
    return value;
}

// Index of a controller of the hand, or -1.
int parseDovel(const std::string& text) {
    const long id = parseNumber(text);
    if (id < SIM_FIRST_DOVEL_ID || id >= SIM_FIRST_DOVEL_ID + SIM_DOVEL_COUNT) {
        return -1;
    }
    return static_cast<int>(id - SIM_FIRST_DOVEL_ID);
}

struct OptionArgument {
    int dovel;  // index, or -1
    long count;
    long ms;  // -1 when not given
    long property;
    std::string text;
};

// The colon-separated parts of an argument.
std::vector<std::string> splitParts(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', start)) {
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool parseArgument(ArgumentKind kind, const std::string& text, bool present,
                   OptionArgument* argument) {
    const std::vector<std::string> parts = splitParts(text);
    switch (kind) {
        case NO_ARGUMENT:
            return !present;
        case DOVEL_ARGUMENT:
            argument->dovel = parseDovel(text);
            return present && argument->dovel >= 0;
        case DOVEL_COUNT_ARGUMENT:
        case DOVEL_COUNT_OPTIONAL_MS_ARGUMENT: {
            const size_t most = kind == DOVEL_COUNT_ARGUMENT ? 2 : 3;
            if (!present || parts.size() < 2 || parts.size() > most) {
                return false;
            }
            argument->dovel = parseDovel(parts[0]);
            argument->count = parseNumber(parts[1]);
            argument->ms = parts.size() == 3 ? parseNumber(parts[2]) : 0;
            const bool ok = argument->dovel >= 0 && argument->count >= 0 && argument->ms >= 0;
            argument->ms = parts.size() == 3 ? argument->ms : -1;
            return ok;
        }
        case COUNT_ARGUMENT:
            argument->count = parseNumber(text);
            return present && argument->count >= 0;
        case DOVEL_PAIR_ARGUMENT: {
            if (!present || parts.size() != 2) {
                return false;
            }
            argument->dovel = parseDovel(parts[0]);
            const int other = parseDovel(parts[1]);
            argument->count = other + SIM_FIRST_DOVEL_ID;
            return argument->dovel >= 0 && other >= 0 && other != argument->dovel;
        }
        case RX_BUFFER_ARGUMENT:
            argument->count = parseNumber(text);
            return present && argument->count >= 0 && argument->count <= SIM_RX_BUFFER_OPTION_MAX;
        case POSITIVE_COUNT_ARGUMENT:
            argument->count = parseNumber(text);
            return present && argument->count >= 1;
        case TEXT_ARGUMENT:
            argument->text = text;
            return present && !text.empty();
        case READY_ARGUMENT:
            argument->text = text;
            return present && (text == "count" || text == "id");
        case PROPERTY_ARGUMENT:
            argument->property = parseNumber(text);
            return present && argument->property >= 0 && argument->property < SIM_PROPERTY_COUNT;
    }
    return false;
}

void applyOption(OptionId id, const OptionArgument& argument, SimOptions* options) {
    SimDovelFaults* faults = argument.dovel >= 0 ? &options->dovel[argument.dovel] : nullptr;
    const int count = static_cast<int>(argument.count);
    switch (id) {
        case OPTION_FAST:
            options->fast = true;
            break;
        case OPTION_ZERO_TIME:
            options->zeroTime = true;
            break;
        case OPTION_SILENT:
            faults->silent = true;
            break;
        case OPTION_STATUS:
            faults->statusOnIdQuery = true;
            break;
        case OPTION_CRAZY_ID:
            faults->crazyId = true;
            break;
        case OPTION_ROLE_STUCK:
            faults->roleStuck = true;
            break;
        case OPTION_STALL:
            faults->stallAfterCharacters = count;
            faults->stallRecoverMs =
                argument.ms >= 0 ? static_cast<int>(argument.ms) : SIM_FAULT_OFF;
            break;
        case OPTION_SLOW:
            faults->slowIdReplyMs = count;
            break;
        case OPTION_PACKED:
            options->packed[argument.property] = true;
            break;
        case OPTION_READ_ERROR:
            faults->readErrorAfterCharacters = count;
            break;
        case OPTION_FOREIGN:
            faults->foreignReply = true;
            break;
        case OPTION_LONG_LEN:
            faults->longLenRoleReply = true;
            break;
        case OPTION_ERASE:
            faults->eraseMs = count;
            break;
        case OPTION_UNPLUG_AFTER:
            options->unplugAfterFrames = argument.count;
            break;
        case OPTION_LINK_DOWN_AFTER:
            options->linkDownAfterFrames = argument.count;
            break;
        case OPTION_READY:
            options->readyAsId = argument.text == "id";
            break;
        case OPTION_STATE:
            options->statePath = argument.text;
            break;
        case OPTION_HALT_AFTER:
            options->haltAfterFrames = argument.count;
            break;
        case OPTION_POWER_OFF_AFTER:
            options->powerOffAfterFrames = argument.count;
            break;
        case OPTION_LATENCY:
            options->latencyUs = argument.count;
            break;
        case OPTION_SHARED_REPLY_ID:
            options->sharedReplyId = true;
            break;
        case OPTION_REPLY_ID_CHANGE:
            faults->replyIdChange = true;
            break;
        case OPTION_RX_BUFFER:
            options->rxBuffer = count;
            break;
        case OPTION_STRAY:
            faults->strayForNode = count;
            break;
        case OPTION_CHAR_DELAY:
            faults->characterDelayUs = count;
            break;
    }
}

// What an option sets: the option, and the controller or property it is for. A second
// option that sets the same would silently undo the first.
using OptionTarget = std::tuple<int, int, long>;

// 0, or 1 with *error set.
int parseOption(const std::string& option, SimOptions* options, std::set<OptionTarget>* taken,
                std::string* error) {
    const size_t equals = option.find('=');
    const std::string name = option.substr(0, equals);
    const bool present = equals != std::string::npos;
    const std::string text = present ? option.substr(equals + 1) : "";
    for (const OptionSpec& spec : OPTIONS) {
        if (name != spec.name) {
            continue;
        }
        OptionArgument argument{-1, 0, -1, 0, ""};
        if (!parseArgument(spec.argument, text, present, &argument)) {
            *error = "malformed option '" + option + "'";
            return 1;
        }
        if (!taken->insert(OptionTarget{spec.id, argument.dovel, argument.property}).second) {
            *error = "malformed option '" + option + "': " + name + " is given twice";
            return 1;
        }
        applyOption(spec.id, argument, options);
        return 0;
    }
    *error = "unknown option '" + option + "'";
    return 1;
}

}  // namespace

SimOptions simDefaultOptions() {
    SimOptions options{};
    for (SimDovelFaults& faults : options.dovel) {
        faults.stallAfterCharacters = SIM_FAULT_OFF;
        faults.slowIdReplyMs = SIM_FAULT_OFF;
        faults.readErrorAfterCharacters = SIM_FAULT_OFF;
        faults.stallRecoverMs = SIM_FAULT_OFF;
        faults.eraseMs = SIM_FAULT_OFF;
        faults.characterDelayUs = SIM_FAULT_OFF;
    }
    options.unplugAfterFrames = SIM_FAULT_OFF;
    options.linkDownAfterFrames = SIM_FAULT_OFF;
    options.haltAfterFrames = SIM_FAULT_OFF;
    options.powerOffAfterFrames = SIM_FAULT_OFF;
    options.rxBuffer = SIM_RX_DEFAULT_BUFFER;
    return options;
}

int simParseOptions(const char* text, SimOptions* options, std::string* error) {
    SimOptions parsed = simDefaultOptions();
    const std::string list = text ? text : "";
    std::set<OptionTarget> taken;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const size_t end = comma == std::string::npos ? list.size() : comma;
        const std::string option = list.substr(start, end - start);
        // An empty list is no option; an empty item within a list is a typing mistake.
        if (!(option.empty() && list.empty()) && parseOption(option, &parsed, &taken, error) != 0) {
            return 1;
        }
        start = end + 1;
    }
    *options = parsed;
    return 0;
}
