// An adapter whose answers a test sets in advance, on a clock of its own (which also
// stamps the link's trace), recording every operation the utility calls.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "can/can_frame.h"

struct ScriptedRead {
    int32_t result;  // what CAN_Read returns; the frame is handed over only with 0
    CanFrame frame;
    int64_t atUs;  // not readable before this time
};

struct ScriptedAdapter {
    int32_t initResult = 0;
    int32_t resetClientResult = 0;
    int32_t msgFilterResult = 0;
    int32_t writeResult = 0;  // what every CAN_Write returns
    std::deque<ScriptedRead> queue;
    // Called after each written frame; may queue answers.
    std::function<void(ScriptedAdapter&, const CanFrame&)> onWrite;
    // Called at the start of each read.
    std::function<void(ScriptedAdapter&)> onRead;
    std::vector<CanFrame> written;
    std::vector<int64_t> writtenAtUs;
    std::vector<std::string> calls;  // "CAN_Init(0x0014, 0)", "CAN_Read", "CAN_Write 00B#03", ...
    int64_t nowUs = 0;
};

// Makes the adapter operations and the clock use this adapter until scriptedAdapterRemove.
void scriptedAdapterInstall(ScriptedAdapter* adapter);
void scriptedAdapterRemove();

CanFrame makeFrame(uint32_t id, std::initializer_list<uint8_t> data,
                   uint8_t type = FRAME_TYPE_STANDARD);
void queueFrame(ScriptedAdapter& adapter, const CanFrame& frame, int64_t atUs = 0);
void queueResult(ScriptedAdapter& adapter, int32_t result, int64_t atUs = 0);

// A frame as ID#DATA with the ID in three hex digits and LEN data bytes.
std::string frameText(const CanFrame& frame);
std::vector<std::string> writtenTexts(const ScriptedAdapter& adapter);
