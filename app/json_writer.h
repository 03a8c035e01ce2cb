// A small writer of JSON text, for the run's record: one object on one line, strings
// escaped as JSON requires, and text that is not UTF-8 made readable without losing it.
#pragma once

#include <cstddef>
#include <string>

// The text written so far and whether the next member needs a comma first.
struct JsonWriter {
    std::string text;
    bool needsComma = false;
};

// Each member takes its key, or nullptr for an element of an array or the outermost value.
void jsonOpenObject(JsonWriter* writer, const char* key);
void jsonCloseObject(JsonWriter* writer);
void jsonOpenArray(JsonWriter* writer, const char* key);
void jsonCloseArray(JsonWriter* writer);
void jsonInteger(JsonWriter* writer, const char* key, long long value);
void jsonBool(JsonWriter* writer, const char* key, bool value);
void jsonNull(JsonWriter* writer, const char* key);
// value as a JSON string, or null for nullptr. Every byte that is not part of a well-formed
// UTF-8 sequence is written as U+FFFD; a member whose value held such bytes is followed by
// the member KEY_hex with the exact bytes of the value as lower-case hex digits.
void jsonString(JsonWriter* writer, const char* key, const char* value);
// A 16-bit word as the string "0x" and four hex digits (more for a wider value).
void jsonHexWord(JsonWriter* writer, const char* key, unsigned long long value);

// The length of the well-formed UTF-8 sequence at text (1 to 4), or 0 when the byte there
// begins none: a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF,
// or cut short.
int utf8SequenceLength(const char* text);
bool isUtf8(const char* text);
