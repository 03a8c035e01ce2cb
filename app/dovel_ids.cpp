#include "app/dovel_ids.h"

#include <cstring>

#include "app/update_walks.h"

namespace {

// Characters a POSIX shell takes as part of a plain word.
constexpr const char* PLAIN_WORD_CHARACTERS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+-=:,@%";

std::string shellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of(PLAIN_WORD_CHARACTERS) == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

bool parseDovelIds(const char* text, DovelIds* ids) {
    // An empty value counts as unset, as Windows has no other way to clear one.
    if (text == nullptr || text[0] == '\0') {
        *ids = ALL_DOVEL_IDS;
        return true;
    }
    DovelIds named = 0;
    const char* at = text;
    for (;;) {
        // Exactly two digits: "011", "+12" and " 12" are no IDs as the operator sees them.
        if (at[0] < '0' || at[0] > '9' || at[1] < '0' || at[1] > '9') {
            return false;
        }
        const int id = (at[0] - '0') * 10 + (at[1] - '0');
        if (id < FIRST_DOVEL_ID || id > LAST_DOVEL_ID || (named & dovelIdBit(id)) != 0) {
            return false;
        }
        named |= dovelIdBit(id);
        at += 2;
        if (*at == '\0') {
            break;
        }
        if (*at != ',') {
            return false;
        }
        ++at;
    }
    *ids = named;
    return true;
}

DovelIds dovelIdBit(int id) { return 1u << (id - FIRST_DOVEL_ID); }

bool dovelIdNamed(DovelIds ids, int id) {
    return id >= FIRST_DOVEL_ID && id <= LAST_DOVEL_ID && (ids & dovelIdBit(id)) != 0;
}

int dovelIdCount(DovelIds ids) {
    int count = 0;
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        count += dovelIdNamed(ids, id) ? 1 : 0;
    }
    return count;
}

std::string dovelIdsText(DovelIds ids) {
    std::string text;
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        if (dovelIdNamed(ids, id)) {
            if (!text.empty()) {
                text += ',';
            }
            text += std::to_string(id);
        }
    }
    return text;
}

std::string dovelIdsCommand(DovelIds ids, const char* imagePath) {
    return std::string(IDS_VARIABLE) + "=" + dovelIdsText(ids) + " dovelflash " +
           (imagePath != nullptr ? shellWord(imagePath) : std::string("IMAGE"));
}
