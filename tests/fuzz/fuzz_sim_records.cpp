// Any character stream into a simulated controller that is taking a download: its
// record parser must neither crash nor grow without bound, whatever arrives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dovel_access_code.h"
#include "sim/sim_hand.h"

namespace {

constexpr int NODE = 11;
constexpr int UNLOCK_MAIN = 13;
constexpr int ROLE = 1;
constexpr int STORE = 9;
constexpr int STATUS = 5;
constexpr int VERS = 0;
constexpr int64_t REBOOT_US = 1000 * 1000;
constexpr int64_t CHARACTER_SPACING_US = 200;
constexpr int64_t DOWNLOAD_READY_US = 10 * 1000;
// A controller never holds more flash than this, whatever the stream says.
constexpr size_t FLASH_LIMIT_BYTES = 1 << 20;

void hostSet(SimHand* hand, int64_t atUs, int property, uint16_t value) {
    CanFrame frame{};
    frame.ID = NODE;
    frame.LEN = 4;
    frame.DATA[0] = static_cast<uint8_t>(0x80 | property);
    frame.DATA[2] = static_cast<uint8_t>(value & 0xFF);
    frame.DATA[3] = static_cast<uint8_t>(value >> 8);
    simHandHostWrite(hand, atUs, &frame);
}

// Brings controller 11 into its monitor with a download started; returns the time.
int64_t startDownload(SimHand* hand) {
    int64_t t = 0;
    for (int i = 0; i < 5; ++i) {
        const uint16_t word = static_cast<uint16_t>(DOVEL_ACCESS_CODE_BYTES[2 * i] |
                                                    (DOVEL_ACCESS_CODE_BYTES[2 * i + 1] << 8));
        hostSet(hand, t, UNLOCK_MAIN, word);
    }
    hostSet(hand, t, ROLE, 0x1220);
    hostSet(hand, t, STORE, 1);
    t += 200 * 1000;
    hostSet(hand, t, STATUS, 0);
    t += REBOOT_US;
    hostSet(hand, t, VERS, 0xAA);
    return t + DOWNLOAD_READY_US;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    SimHand* hand = simHandCreate("", &error);
    if (hand == nullptr) {
        __builtin_trap();
    }
    int64_t t = startDownload(hand);
    for (size_t i = 0; i < size; ++i) {
        CanFrame character{};
        character.ID = NODE;
        character.LEN = 1;
        character.DATA[0] = data[i];
        simHandHostWrite(hand, t, &character);
        t += CHARACTER_SPACING_US;
        CanFrame reply{};
        while (simHandHostRead(hand, t, &reply) == 0) {
        }
    }
    simHandSettle(hand);
    SimDovelState state{};
    if (simHandDovelState(hand, NODE, &state) != 0 || state.flash.size() > FLASH_LIMIT_BYTES) {
        __builtin_trap();
    }
    simHandDestroy(hand);
    return 0;
}
