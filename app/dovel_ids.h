// Which of the hand's controllers an update may write to: DOVEL_IDS=12 or DOVEL_IDS=11,14.
// A controller not named gets get requests only, in the final check.
#pragma once

#include <string>

constexpr const char* IDS_VARIABLE = "DOVEL_IDS";

// One bit per controller of the hand, bit 0 for the lowest ID.
using DovelIds = unsigned;

// Unset (nullptr) or empty: every controller of the hand. Otherwise IDs of the hand, each
// once, comma-separated, in any order. Any other text is false with *ids left as it was.
bool parseDovelIds(const char* text, DovelIds* ids);

// The set of that one controller of the hand.
DovelIds dovelIdBit(int id);
bool dovelIdNamed(DovelIds ids, int id);
int dovelIdCount(DovelIds ids);

// The IDs as DOVEL_IDS takes them, ascending: "11,14".
std::string dovelIdsText(DovelIds ids);

// The command that updates those controllers alone with the image at imagePath (IMAGE
// when nullptr), the path quoted for a POSIX shell where it needs it.
std::string dovelIdsCommand(DovelIds ids, const char* imagePath);
