#include "app/json_writer.h"

#include <cstdio>

namespace {

// U+FFFD, the replacement character, in UTF-8.
constexpr const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";

bool inRange(unsigned char byte, unsigned low, unsigned high) {
    return byte >= low && byte <= high;
}

void appendEscaped(std::string* out, const char* text);

void beginMember(JsonWriter* writer, const char* key) {
    if (writer->needsComma) {
        writer->text += ',';
    }
    writer->needsComma = true;
    if (key != nullptr) {
        writer->text += '"';
        appendEscaped(&writer->text, key);
        writer->text += "\":";
    }
}

void appendEscaped(std::string* out, const char* text) {
    for (const char* at = text; *at != '\0';) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        const int length = utf8SequenceLength(at);
        if (length == 0) {
            *out += REPLACEMENT_CHARACTER;
            ++at;
            continue;
        }
        if (length > 1) {
            out->append(at, static_cast<size_t>(length));
            at += length;
            continue;
        }
        switch (byte) {
            case '"':
                *out += "\\\"";
                break;
            case '\\':
                *out += "\\\\";
                break;
            case '\b':
                *out += "\\b";
                break;
            case '\f':
                *out += "\\f";
                break;
            case '\n':
                *out += "\\n";
                break;
            case '\r':
                *out += "\\r";
                break;
            case '\t':
                *out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    *out += escaped;
                } else {
                    *out += static_cast<char>(byte);
                }
        }
        ++at;
    }
}

}  // namespace

int utf8SequenceLength(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (s[0] < 0x80) {
        return 1;
    }
    // The second byte's range depends on the first: that rules out overlong forms,
    // surrogates and values beyond U+10FFFF. A NUL ends the text, and is never in range.
    unsigned low = 0x80;
    unsigned high = 0xBF;
    int length = 0;
    if (inRange(s[0], 0xC2, 0xDF)) {
        length = 2;
    } else if (inRange(s[0], 0xE0, 0xEF)) {
        length = 3;
        low = s[0] == 0xE0 ? 0xA0 : 0x80;
        high = s[0] == 0xED ? 0x9F : 0xBF;
    } else if (inRange(s[0], 0xF0, 0xF4)) {
        length = 4;
        low = s[0] == 0xF0 ? 0x90 : 0x80;
        high = s[0] == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (!inRange(s[1], low, high)) {
        return 0;
    }
    for (int i = 2; i < length; ++i) {
        if (!inRange(s[i], 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}

bool isUtf8(const char* text) {
    for (const char* at = text; *at != '\0';) {
        const int length = utf8SequenceLength(at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

void jsonOpenObject(JsonWriter* writer, const char* key) {
    beginMember(writer, key);
    writer->text += '{';
    writer->needsComma = false;
}

void jsonCloseObject(JsonWriter* writer) {
    writer->text += '}';
    writer->needsComma = true;
}

void jsonOpenArray(JsonWriter* writer, const char* key) {
    beginMember(writer, key);
    writer->text += '[';
    writer->needsComma = false;
}

void jsonCloseArray(JsonWriter* writer) {
    writer->text += ']';
    writer->needsComma = true;
}

void jsonInteger(JsonWriter* writer, const char* key, long long value) {
    beginMember(writer, key);
    writer->text += std::to_string(value);
}

void jsonBool(JsonWriter* writer, const char* key, bool value) {
    beginMember(writer, key);
    writer->text += value ? "true" : "false";
}

void jsonNull(JsonWriter* writer, const char* key) {
    beginMember(writer, key);
    writer->text += "null";
}

void jsonString(JsonWriter* writer, const char* key, const char* value) {
    beginMember(writer, key);
    if (value == nullptr) {
        writer->text += "null";
        return;
    }
    writer->text += '"';
    appendEscaped(&writer->text, value);
    writer->text += '"';
    if (key == nullptr || isUtf8(value)) {
        return;
    }
    std::string hex;
    for (const char* at = value; *at != '\0'; ++at) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(*at));
        hex += digits;
    }
    jsonString(writer, (std::string(key) + "_hex").c_str(), hex.c_str());
}

void jsonHexWord(JsonWriter* writer, const char* key, unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%04llx", value);
    jsonString(writer, key, text);
}
