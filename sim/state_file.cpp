// Reading and writing the simulated hand's state file (format in sim/state_file.h).
#include "sim/state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "sim/crc32.h"
#include "sim/dovel.h"

namespace {

constexpr const char* HEADER = "dovelflash simulated hand state ";
constexpr const char* END_KEY = "end ";
constexpr const char* HINT = "; remove it to start a factory-fresh hand";
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr int NIBBLE_BITS = 4;
constexpr uint32_t NIBBLE_MASK = 0xF;
constexpr int CRC32_HEX_DIGITS = 8;
constexpr int BITS_PER_BYTE = 8;

uint32_t crc32(const std::string& bytes) {
    return simCrc32(0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

const char* imageName(SimFlashImage image) {
    switch (image) {
        case SIM_IMAGE_FACTORY:
            return "factory";
        case SIM_IMAGE_INCOMPLETE:
            return "incomplete";
        case SIM_IMAGE_COMPLETE:
            return "complete";
        case SIM_IMAGE_REFUSED:
            return "refused";
    }
    return "?";
}

void appendHex(std::string* out, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out->push_back(HEX_DIGITS[bytes[i] >> NIBBLE_BITS]);
        out->push_back(HEX_DIGITS[bytes[i] & NIBBLE_MASK]);
    }
}

void appendFlash(std::string* out, const SimDovel& dovel) {
    auto it = dovel.flash.begin();
    while (it != dovel.flash.end()) {
        const uint32_t start = it->first;
        uint8_t bytes[SIM_STATE_FLASH_LINE_BYTES];
        size_t count = 0;
        while (it != dovel.flash.end() && it->first == start + count &&
               count < SIM_STATE_FLASH_LINE_BYTES) {
            bytes[count++] = it->second;
            ++it;
        }
        char head[32];
        std::snprintf(head, sizeof head, "flash %d %08" PRIX32 " ", dovel.node, start);
        *out += head;
        appendHex(out, bytes, count);
        out->push_back('\n');
    }
}

void appendRunning(std::string* out, const SimDovel& dovel) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "running %d mode %s role %04X unlocked %d downloading %d complete %d taken %d "
                  "lost %d records %d bad %d buffer %d %d ",
                  dovel.node, simModeName(dovel.mode), static_cast<unsigned>(dovel.ramRole),
                  dovel.unlocked ? 1 : 0, dovel.downloading ? 1 : 0, dovel.downloadComplete ? 1 : 0,
                  dovel.charactersTaken, dovel.charactersLost, dovel.records, dovel.badRecords,
                  dovel.record.count, dovel.record.length);
    *out += line;
    if (dovel.record.count == 0) {
        out->push_back('-');
    } else {
        appendHex(out, reinterpret_cast<const uint8_t*>(dovel.record.chars),
                  static_cast<size_t>(dovel.record.count));
    }
    out->push_back('\n');
}

std::string stateText(const SimHand* hand, bool powered) {
    std::string text = HEADER + std::to_string(SIM_STATE_VERSION) + "\n";
    text += powered ? "powered 1\n" : "powered 0\n";
    for (const SimDovel& dovel : hand->dovels) {
        char line[64];
        std::snprintf(line, sizeof line, "dovel %d role %04X image %s\n", dovel.node,
                      static_cast<unsigned>(dovel.storedRole), imageName(dovel.image));
        text += line;
        if (powered) {
            appendRunning(&text, dovel);
        }
        appendFlash(&text, dovel);
    }
    char end[32];
    std::snprintf(end, sizeof end, "%s%08" PRIX32 "\n", END_KEY, crc32(text));
    return text + end;
}

int replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
#else
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : 1;
#endif
}

// --- Reading ---

int hexValue(char c) {
    const char* digit = std::strchr(HEX_DIGITS, c);
    return (c != '\0' && digit) ? static_cast<int>(digit - HEX_DIGITS) : -1;
}

bool parseHexBytes(const std::string& hex, std::vector<uint8_t>* bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>((high << NIBBLE_BITS) | low));
    }
    return true;
}

bool parseHexWord(const std::string& text, size_t digits, uint32_t* value) {
    std::vector<uint8_t> bytes;
    if (text.size() != digits || !parseHexBytes(text, &bytes)) {
        return false;
    }
    *value = 0;
    for (uint8_t b : bytes) {
        *value = (*value << BITS_PER_BYTE) | b;
    }
    return true;
}

bool parseFlag(std::istringstream& in, const char* key, bool* value) {
    std::string name;
    int flag = -1;
    in >> name >> flag;
    *value = flag == 1;
    return in && name == key && (flag == 0 || flag == 1);
}

bool parseCount(std::istringstream& in, const char* key, int* value) {
    std::string name;
    in >> name >> *value;
    return in && name == key && *value >= 0;
}

SimDovel* dovelOf(SimHand* hand, int node) {
    const int index = node - SIM_FIRST_DOVEL_ID;
    return index >= 0 && index < SIM_DOVEL_COUNT ? &hand->dovels[index] : nullptr;
}

bool parseDovelLine(std::istringstream& in, SimHand* hand, bool* seen) {
    int node = 0;
    std::string roleKey, role, imageKey, image;
    in >> node >> roleKey >> role >> imageKey >> image;
    SimDovel* dovel = dovelOf(hand, node);
    uint32_t word = 0;
    if (!in || !dovel || seen[dovel - hand->dovels] || roleKey != "role" ||
        !parseHexWord(role, 4, &word) || imageKey != "image") {
        return false;
    }
    seen[dovel - hand->dovels] = true;
    dovel->storedRole = static_cast<uint16_t>(word);
    for (SimFlashImage kind :
         {SIM_IMAGE_FACTORY, SIM_IMAGE_INCOMPLETE, SIM_IMAGE_COMPLETE, SIM_IMAGE_REFUSED}) {
        if (image == imageName(kind)) {
            dovel->image = kind;
            return true;
        }
    }
    return false;
}

bool parseMode(const std::string& name, SimDovelMode* mode) {
    for (SimDovelMode m : {SIM_MODE_MAIN, SIM_MODE_MONITOR, SIM_MODE_RESETTING}) {
        if (name == simModeName(m)) {
            *mode = m;
            return true;
        }
    }
    return false;
}

bool parseRunningLine(std::istringstream& in, SimDovel* dovel) {
    std::string modeKey, mode, roleKey, role, bufferKey, chars;
    int count = 0, length = 0;
    uint32_t word = 0;
    in >> modeKey >> mode >> roleKey >> role;
    if (!in || modeKey != "mode" || !parseMode(mode, &dovel->mode) || roleKey != "role" ||
        !parseHexWord(role, 4, &word)) {
        return false;
    }
    dovel->ramRole = static_cast<uint16_t>(word);
    if (!parseFlag(in, "unlocked", &dovel->unlocked) ||
        !parseFlag(in, "downloading", &dovel->downloading) ||
        !parseFlag(in, "complete", &dovel->downloadComplete) ||
        !parseCount(in, "taken", &dovel->charactersTaken) ||
        !parseCount(in, "lost", &dovel->charactersLost) ||
        !parseCount(in, "records", &dovel->records) || !parseCount(in, "bad", &dovel->badRecords)) {
        return false;
    }
    in >> bufferKey >> count >> length >> chars;
    std::vector<uint8_t> bytes;
    if (!in || bufferKey != "buffer" || count < 0 || count >= TEK_MAX_RECORD_CHARS || length < 0 ||
        length > TEK_MAX_RECORD_CHARS ||
        !(count == 0
              ? chars == "-"
              : parseHexBytes(chars, &bytes) && bytes.size() == static_cast<size_t>(count))) {
        return false;
    }
    dovel->record.count = count;
    dovel->record.length = length;
    if (!bytes.empty()) {  // an empty vector's data() may be null
        std::memcpy(dovel->record.chars, bytes.data(), bytes.size());
    }
    dovel->unlockWordsMatched = 0;
    return true;
}

bool parseFlashLine(std::istringstream& in, SimDovel* dovel) {
    std::string address, hex;
    uint32_t start = 0;
    std::vector<uint8_t> bytes;
    in >> address >> hex;
    if (!in || !parseHexWord(address, CRC32_HEX_DIGITS, &start) || !parseHexBytes(hex, &bytes) ||
        bytes.empty() || bytes.size() > SIM_STATE_FLASH_LINE_BYTES ||
        start + static_cast<uint64_t>(bytes.size()) > SIM_FLASH_BYTES) {
        return false;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        dovel->flash[start + static_cast<uint32_t>(i)] = bytes[i];
    }
    return true;
}

// Line number of the first line that is not as written, or 0 when all are.
int parseBody(const std::string& body, SimHand* hand, bool* powered) {
    std::istringstream lines(body);
    std::string line;
    bool seen[SIM_DOVEL_COUNT] = {};
    bool running[SIM_DOVEL_COUNT] = {};
    int number = 1;  // the header
    std::getline(lines, line);
    ++number;
    if (!std::getline(lines, line) || (line != "powered 0" && line != "powered 1")) {
        return number;
    }
    *powered = line == "powered 1";
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream in(line);
        std::string key;
        int node = 0;
        in >> key;
        bool ok = false;
        if (key == "dovel") {
            ok = parseDovelLine(in, hand, seen);
        } else if (key == "running" || key == "flash") {
            in >> node;
            SimDovel* dovel = dovelOf(hand, node);
            const int index = dovel ? static_cast<int>(dovel - hand->dovels) : 0;
            if (dovel && seen[index] && key == "flash") {
                ok = parseFlashLine(in, dovel);
            } else if (dovel && seen[index] && *powered && !running[index]) {
                running[index] = true;
                ok = parseRunningLine(in, dovel);
            }
        }
        std::string rest;
        if (!ok || (in >> rest)) {
            return number;
        }
    }
    for (int i = 0; i < SIM_DOVEL_COUNT; ++i) {
        if (!seen[i] || (*powered && !running[i])) {
            return number + 1;  // where the missing line should have been
        }
    }
    return 0;
}

// Starts each controller as the state says: a powered one goes on where it was (a reset
// in progress completes), any other boots from its lasting state.
void startControllers(SimHand* hand, bool powered) {
    for (SimDovel& dovel : hand->dovels) {
        if (dovel.image == SIM_IMAGE_COMPLETE) {
            dovel.imageCrc32 = simFlashCrc32(dovel.flash);
        }
        if (!powered || dovel.mode == SIM_MODE_RESETTING) {
            dovelPowerUp(&dovel);
        }
    }
}

bool readWhole(const std::string& path, std::string* bytes, bool* missing) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *missing = errno == ENOENT;
        return false;
    }
    char buffer[BUFSIZ];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->append(buffer, n);
    }
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

}  // namespace

SimStateLoad simStateLoad(SimHand* hand, const std::string& path, std::string* error) {
    std::string bytes;
    bool missing = false;
    const std::string name = "state file '" + path + "'";
    if (!readWhole(path, &bytes, &missing)) {
        if (missing) {
            return SIM_STATE_MISSING;
        }
        *error = "cannot read the " + name + ": " + std::strerror(errno);
        return SIM_STATE_REFUSED;
    }
    if (bytes.empty()) {
        *error = name + " is empty" + HINT;
        return SIM_STATE_REFUSED;
    }
    const size_t headerEnd = bytes.find('\n');
    const std::string header = bytes.substr(0, headerEnd);
    if (header.compare(0, std::strlen(HEADER), HEADER) != 0) {
        *error = name + " is not a state file of the simulated hand" + HINT;
        return SIM_STATE_REFUSED;
    }
    const std::string version = header.substr(std::strlen(HEADER));
    if (version != std::to_string(SIM_STATE_VERSION)) {
        *error = name + " is of another version (" + version + "; this simulator reads " +
                 std::to_string(SIM_STATE_VERSION) + ")" + HINT;
        return SIM_STATE_REFUSED;
    }
    const size_t endLine = bytes.rfind(END_KEY);
    uint32_t written = 0;
    if (endLine == std::string::npos || (endLine > 0 && bytes[endLine - 1] != '\n') ||
        bytes.back() != '\n' ||
        !parseHexWord(bytes.substr(endLine + std::strlen(END_KEY),
                                   bytes.size() - 1 - endLine - std::strlen(END_KEY)),
                      CRC32_HEX_DIGITS, &written)) {
        *error = name + " is truncated" + HINT;
        return SIM_STATE_REFUSED;
    }
    const std::string body = bytes.substr(0, endLine);
    if (crc32(body) != written) {
        *error = name + " is corrupt: its checksum does not match" + HINT;
        return SIM_STATE_REFUSED;
    }
    bool powered = false;
    const int badLine = parseBody(body, hand, &powered);
    if (badLine != 0) {
        *error = name + " is corrupt at line " + std::to_string(badLine) + HINT;
        return SIM_STATE_REFUSED;
    }
    startControllers(hand, powered);
    return SIM_STATE_LOADED;
}

int simStateWrite(const SimHand* hand, bool powered) {
    const std::string& path = hand->stateFile;
    const std::string text = stateText(hand, powered);
    const std::string fresh = path + SIM_STATE_NEW_SUFFIX;
    std::FILE* file = std::fopen(fresh.c_str(), "wb");
    if (!file) {
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(fresh.c_str());
        return 1;
    }
    return replaceFile(fresh, path);
}

void simStateChanged(SimHand* hand) {
    if (hand->options.statePath.empty()) {
        return;
    }
    if (simStateWrite(hand, true) != 0 && !hand->stateWriteFailed) {
        hand->stateWriteFailed = true;
        std::fprintf(stderr, "sim: cannot write the state file '%s'\n",
                     hand->options.statePath.c_str());
    }
}
