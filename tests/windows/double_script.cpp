#include "tests/windows/double_script.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t STANDARD_TYPE = 0;
constexpr int HEX_BASE = 16;
constexpr int ANY_BASE = 0;  // strtoul: decimal, or hexadecimal after 0x
constexpr int BITS_PER_BYTE = 8;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// A whole string as a number in the given base; false when anything is left over.
bool parseNumber(const std::string& text, int base, uint32_t* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, base);
    if (*end != '\0') {
        return false;
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool parseResults(const std::string& text, std::vector<uint32_t>* results) {
    results->clear();
    for (const std::string& part : split(text, ',')) {
        uint32_t value = 0;
        if (!parseNumber(part, ANY_BASE, &value)) {
            return false;
        }
        results->push_back(value);
    }
    return true;
}

int parseItem(const std::string& item, DoubleScript* script) {
    const size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    if (key == "echo" && equals == std::string::npos) {
        script->echo = true;
        return 0;
    }
    if (key == "hand") {
        script->hand = true;
        script->handOptions = value;
        return 0;
    }
    if (equals == std::string::npos) {
        return 1;
    }
    if (key == "init") {
        return parseResults(value, &script->initResults) ? 0 : 1;
    }
    if (key == "reset") {
        return parseResults(value, &script->resetResults) ? 0 : 1;
    }
    if (key == "filter") {
        return parseResults(value, &script->filterResults) ? 0 : 1;
    }
    if (key == "write") {
        return parseResults(value, &script->writeResults) ? 0 : 1;
    }
    if (key == "log") {
        script->logPath = value;
        return value.empty() ? 1 : 0;
    }
    DoubleRead read{};
    if (key == "empty") {
        read.kind = DoubleRead::EMPTY;
        if (!parseNumber(value, ANY_BASE, &read.emptyCount)) {
            return 1;
        }
    } else if (key == "readerror") {
        read.kind = DoubleRead::ERROR_RESULT;
        if (!parseNumber(value, ANY_BASE, &read.errorCode)) {
            return 1;
        }
    } else if (key == "rx") {
        read.kind = DoubleRead::FRAME;
        if (parseRecord(value, read.record) != 0) {
            return 1;
        }
    } else {
        return 1;
    }
    script->reads.push_back(read);
    return 0;
}

}  // namespace

int parseDoubleScript(const std::string& text, DoubleScript* script, std::string* error) {
    *script = DoubleScript{};
    if (text.empty()) {
        return 0;
    }
    for (const std::string& item : split(text, ';')) {
        if (!item.empty() && parseItem(item, script) != 0) {
            *error = "cannot understand '" + item + "'";
            return 1;
        }
    }
    return 0;
}

int parseRecord(const std::string& text, uint8_t* record) {
    std::memset(record, 0, DOUBLE_RECORD_SIZE);
    const size_t hash = text.find('#');
    if (hash == std::string::npos) {
        return 1;
    }
    const size_t slash = text.find('/', hash);
    const std::string data =
        text.substr(hash + 1, slash == std::string::npos ? slash : slash - hash - 1);
    uint32_t id = 0;
    uint32_t type = STANDARD_TYPE;
    if (!parseNumber(text.substr(0, hash), HEX_BASE, &id) ||
        (slash != std::string::npos && !parseNumber(text.substr(slash + 1), HEX_BASE, &type)) ||
        data.size() % 2 != 0 || data.size() / 2 > DOUBLE_RECORD_DATA_MAX) {
        return 1;
    }
    for (int shift = 0; shift < 4; ++shift) {
        record[DOUBLE_RECORD_ID + shift] = static_cast<uint8_t>(id >> (shift * BITS_PER_BYTE));
    }
    record[DOUBLE_RECORD_TYPE] = static_cast<uint8_t>(type);
    record[DOUBLE_RECORD_LEN] = static_cast<uint8_t>(data.size() / 2);
    for (size_t i = 0; i < data.size() / 2; ++i) {
        uint32_t byte = 0;
        if (!parseNumber(data.substr(i * 2, 2), HEX_BASE, &byte)) {
            return 1;
        }
        record[DOUBLE_RECORD_DATA + i] = static_cast<uint8_t>(byte);
    }
    return 0;
}

uint32_t recordId(const uint8_t* record) {
    uint32_t id = 0;
    for (int shift = 3; shift >= 0; --shift) {
        id = (id << BITS_PER_BYTE) | record[DOUBLE_RECORD_ID + shift];
    }
    return id;
}

std::string recordText(const uint8_t* record) {
    char text[48];
    int used =
        std::snprintf(text, sizeof text, "%03lX#", static_cast<unsigned long>(recordId(record)));
    const int length = record[DOUBLE_RECORD_LEN] < DOUBLE_RECORD_DATA_MAX
                           ? record[DOUBLE_RECORD_LEN]
                           : DOUBLE_RECORD_DATA_MAX;
    for (int i = 0; i < length; ++i) {
        used += std::snprintf(text + used, sizeof text - used, "%02X",
                              static_cast<unsigned>(record[DOUBLE_RECORD_DATA + i]));
    }
    if (record[DOUBLE_RECORD_TYPE] != STANDARD_TYPE) {
        std::snprintf(text + used, sizeof text - used, "/%02X",
                      static_cast<unsigned>(record[DOUBLE_RECORD_TYPE]));
    }
    return text;
}
