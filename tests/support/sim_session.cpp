#include "tests/support/sim_session.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "dovel_access_code.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"

namespace {

constexpr uint8_t SET_FLAG = 0x80;
constexpr int BITS_PER_BYTE = 8;
constexpr uint16_t WORD_FLIP = 0x0101;

}  // namespace

void SimSessionTest::TearDown() { simSessionEnd(); }

void SimSessionTest::openHand(const std::string& options) {
    const std::string all = options.empty() ? "fast" : "fast," + options;
    const CanBackend* backend = simOpenBackend(all.c_str());
    ASSERT_NE(backend, nullptr) << all;
    canUseBackend(backend);
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_OK);
    ASSERT_EQ(CAN_ResetClient(), CAN_OK);
    ASSERT_EQ(CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID, CAN_INIT_TYPE_STANDARD),
              CAN_OK);
}

void simSessionEnd() {
    canUseBackend(nullptr);
    simCloseBackend();
}

std::string simFrameText(const CanFrame& frame) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%03X#", static_cast<unsigned>(frame.ID));
    for (int i = 0; i < frame.LEN && i < CAN_MAX_DATA; ++i) {
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X",
                           static_cast<unsigned>(frame.DATA[i]));
    }
    return text;
}

CanFrame simGet(int node, int property) {
    CanFrame frame{};
    frame.ID = static_cast<uint32_t>(node);
    frame.LEN = 1;
    frame.DATA[0] = static_cast<uint8_t>(property);
    return frame;
}

CanFrame simSet(int node, int property, uint16_t value) {
    CanFrame frame{};
    frame.ID = static_cast<uint32_t>(node);
    frame.LEN = 4;
    frame.DATA[0] = static_cast<uint8_t>(SET_FLAG | property);
    frame.DATA[2] = static_cast<uint8_t>(value);
    frame.DATA[3] = static_cast<uint8_t>(value >> BITS_PER_BYTE);
    return frame;
}

CanFrame simCharacter(int node, char c) {
    CanFrame frame{};
    frame.ID = static_cast<uint32_t>(node);
    frame.LEN = 1;
    frame.DATA[0] = static_cast<uint8_t>(c);
    return frame;
}

void simWrite(const CanFrame& frame) { EXPECT_EQ(CAN_Write(&frame), CAN_OK); }

std::vector<std::string> simReadAfter(int ms) {
    sleepMs(ms);
    std::vector<std::string> frames;
    CanFrame frame{};
    while (CAN_Read(&frame) == CAN_OK) {
        frames.push_back(frame.TYPE == FRAME_TYPE_STATUS ? "status:" + simFrameText(frame)
                                                         : simFrameText(frame));
    }
    return frames;
}

std::vector<std::string> simExchange(const CanFrame& frame, int ms) {
    simWrite(frame);
    return simReadAfter(ms);
}

uint16_t simAccessWord(int index) {
    return static_cast<uint16_t>(DOVEL_ACCESS_CODE_BYTES[2 * index] |
                                 (DOVEL_ACCESS_CODE_BYTES[2 * index + 1] << BITS_PER_BYTE));
}

uint16_t simWrongAccessWord(int index) {
    return static_cast<uint16_t>(simAccessWord(index) ^ WORD_FLIP);
}

void simSendAccessCode(int node, int property) {
    for (int i = 0; i < 5; ++i) {
        simWrite(simSet(node, property, simAccessWord(i)));
    }
}

void simStoreRoleAndReset(int node, int unlockProperty, uint16_t role) {
    simSendAccessCode(node, unlockProperty);
    simWrite(simSet(node, SIM_PROP_ROLE, role));
    simWrite(simSet(node, SIM_PROP_STORE, SIM_STORE_ROLE));
    simReadAfter(100);
    simWrite(simSet(node, SIM_PROP_STATUS, SIM_STATUS_RESET));
    simReadAfter(600);
}

SimDovelState simDovelState(int node) {
    SimDovelState state{};
    EXPECT_NE(simCurrentHand(), nullptr);
    if (simCurrentHand()) {
        EXPECT_EQ(simHandDovelState(simCurrentHand(), node, &state), 0);
    }
    return state;
}

int64_t simNowUs() { return clockNowUs(); }

void simAdvanceTo(int64_t atUs) {
    ASSERT_NE(simCurrentHand(), nullptr);
    simHandAdvance(simCurrentHand(), atUs);
}
