// ROLE writes, the access code that unlocks them, STORE and the reset into the mode the
// stored word selects.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "can/clock.h"
#include "sim/dovel.h"
#include "tests/support/sim_session.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int UNLOCK_MAIN = 13;
constexpr int UNLOCK_MONITOR = 8;
constexpr int ROLE = 1;
constexpr int STATUS = 5;
constexpr int STORE = 9;
constexpr uint16_t NEW_ROLE = 0x5A5A;

class SimLockTest : public SimSessionTest {};

// Stores a role code of 0 and resets, so that the controller boots into its monitor.
void bringToMonitor(int node, uint16_t role) { simStoreRoleAndReset(node, UNLOCK_MAIN, role); }

struct UnlockCase {
    const char* name;
    std::function<void(int node)> send;
    bool accepted;
};

void sendWords(int node, int property, std::vector<uint16_t> words) {
    for (uint16_t word : words) {
        simWrite(simSet(node, property, word));
    }
}

std::vector<uint16_t> code() {
    std::vector<uint16_t> words;
    for (int i = 0; i < 5; ++i) {
        words.push_back(simAccessWord(i));
    }
    return words;
}

const UnlockCase MAIN_CASES[] = {
    {"right code on 13", [](int n) { sendWords(n, UNLOCK_MAIN, code()); }, true},
    {"right code on 8", [](int n) { sendWords(n, UNLOCK_MONITOR, code()); }, false},
    {"no code", [](int) {}, false},
    {"first word wrong",
     [](int n) {
         auto w = code();
         w[0] = simWrongAccessWord(0);
         sendWords(n, UNLOCK_MAIN, w);
     },
     false},
    {"last word wrong",
     [](int n) {
         auto w = code();
         w[4] = simWrongAccessWord(4);
         sendWords(n, UNLOCK_MAIN, w);
     },
     false},
    {"two words swapped",
     [](int n) {
         auto w = code();
         std::swap(w[1], w[2]);
         sendWords(n, UNLOCK_MAIN, w);
     },
     false},
    {"four words only",
     [](int n) {
         auto w = code();
         w.pop_back();
         sendWords(n, UNLOCK_MAIN, w);
     },
     false},
    {"a get between the words",
     [](int n) {
         auto w = code();
         sendWords(n, UNLOCK_MAIN, {w[0], w[1]});
         simWrite(simGet(n, STATUS));
         sendWords(n, UNLOCK_MAIN, {w[2], w[3], w[4]});
     },
     false},
    {"another set between the words",
     [](int n) {
         auto w = code();
         sendWords(n, UNLOCK_MAIN, {w[0], w[1], w[2]});
         simWrite(simSet(n, 0x42, 0));
         sendWords(n, UNLOCK_MAIN, {w[3], w[4]});
     },
     false},
    {"a wrong word, then the whole code",
     [](int n) {
         sendWords(n, UNLOCK_MAIN, {simWrongAccessWord(0)});
         sendWords(n, UNLOCK_MAIN, code());
     },
     true},
    {"the code to another controller",
     [](int n) { sendWords(n == 11 ? 12 : 11, UNLOCK_MAIN, code()); }, false},
};

TEST_F(SimLockTest, RoleWriteNeedsTheAccessCodeOnTheMainUnlockProperty) {
    for (const UnlockCase& c : MAIN_CASES) {
        openHand();
        c.send(11);
        simReadAfter(1);  // whatever the sequence itself drew
        simWrite(simSet(11, ROLE, NEW_ROLE));
        const char* expected = c.accepted ? "20B#81005A5A" : "20B#81002512";
        EXPECT_EQ(simExchange(simGet(11, ROLE), 5), Frames{expected}) << c.name;
        EXPECT_EQ(simDovelState(11).unlocked, c.accepted) << c.name;
        simSessionEnd();
    }
}

TEST_F(SimLockTest, MonitorTakesTheCodeOnItsOwnProperty) {
    struct MonitorCase {
        int property;
        bool accepted;
    };
    for (const MonitorCase& c :
         {MonitorCase{UNLOCK_MONITOR, true}, MonitorCase{UNLOCK_MAIN, false}}) {
        openHand();
        bringToMonitor(12, 0x0A40);
        ASSERT_EQ(simExchange(simGet(12, STATUS)), Frames{"20C#850000"});
        simSendAccessCode(12, c.property);
        simWrite(simSet(12, ROLE, 0x0A45));
        EXPECT_EQ(simExchange(simGet(12, ROLE)),
                  Frames{c.accepted ? "20C#8100450A" : "20C#8100400A"})
            << "property " << c.property;
        simSessionEnd();
    }
}

TEST_F(SimLockTest, StaysUnlockedUntilReset) {
    openHand();
    simSendAccessCode(14, UNLOCK_MAIN);
    simWrite(simSet(14, ROLE, 0x1111));
    EXPECT_EQ(simExchange(simGet(14, ROLE)), Frames{"20E#81001111"});
    simWrite(simSet(14, ROLE, 0x2222));
    EXPECT_EQ(simExchange(simGet(14, ROLE)), Frames{"20E#81002222"});

    simWrite(simSet(14, STATUS, 0));
    simReadAfter(600);
    EXPECT_FALSE(simDovelState(14).unlocked);
    simWrite(simSet(14, ROLE, 0x3333));
    // Not stored: the reset brought back the stored word, and the write was refused.
    EXPECT_EQ(simExchange(simGet(14, ROLE)), Frames{"20E#8100853C"});
}

TEST_F(SimLockTest, StoreKeepsTheWordAcrossReset) {
    openHand();
    simSendAccessCode(13, UNLOCK_MAIN);
    simWrite(simSet(13, ROLE, 0x8466));
    simWrite(simSet(13, STORE, 1));
    simReadAfter(100);
    EXPECT_EQ(simDovelState(13).storedRole, 0x8466);
    simWrite(simSet(13, STATUS, 0));
    simReadAfter(600);
    const SimDovelState state = simDovelState(13);
    EXPECT_EQ(state.mode, SIM_MODE_MAIN);
    EXPECT_EQ(state.ramRole, 0x8466);
    EXPECT_EQ(state.resets, 1);
    EXPECT_EQ(simExchange(simGet(13, ROLE)), Frames{"20D#81006684"});
}

TEST_F(SimLockTest, StoredRoleCodeSelectsTheModeAtBoot) {
    struct BootCase {
        uint16_t role;
        SimDovelMode mode;
        const char* status;
    };
    const BootCase cases[] = {
        {0x1220, SIM_MODE_MONITOR, "20B#850000"}, {0x1225, SIM_MODE_MAIN, "20B#850001"},
        {0x1221, SIM_MODE_MAIN, "20B#850001"},    {0xFFE0, SIM_MODE_MONITOR, "20B#850000"},
        {0x0000, SIM_MODE_MONITOR, "20B#850000"},
    };
    for (const BootCase& c : cases) {
        openHand();
        bringToMonitor(11, c.role);
        EXPECT_EQ(simDovelState(11).mode, c.mode) << std::hex << c.role;
        EXPECT_EQ(simExchange(simGet(11, STATUS)), Frames{c.status}) << std::hex << c.role;
        simSessionEnd();
    }
}

TEST_F(SimLockTest, StoreOnlyWithValueOne) {
    openHand();
    simSendAccessCode(12, UNLOCK_MAIN);
    simWrite(simSet(12, ROLE, 0x0A40));
    simWrite(simSet(12, STORE, 2));
    simReadAfter(100);
    EXPECT_EQ(simDovelState(12).storedRole, 0x0A45);
}

TEST_F(SimLockTest, DeafWhileResetting) {
    openHand();
    const int64_t resetSent = simNowUs();
    simWrite(simSet(11, STATUS, 0));
    // The reset request 00B#85000000 takes 86 us on the bus, a get 58 us.
    const int64_t bootUs = resetSent + 86 + SIM_RESET_US;
    EXPECT_EQ(simExchange(simGet(11, 3), 100), Frames{});
    EXPECT_EQ(simDovelState(11).mode, SIM_MODE_RESETTING);

    simAdvanceTo(bootUs - 58 - 1);  // this get ends 1 us before the boot
    EXPECT_EQ(simExchange(simGet(11, 3), 1), Frames{});
    simAdvanceTo(bootUs);  // this one ends after it
    EXPECT_EQ(simExchange(simGet(11, 3), 1), Frames{"20B#83000B"});
    EXPECT_EQ(simDovelState(11).framesIgnored, 2);
    EXPECT_EQ(simDovelState(11).mode, SIM_MODE_MAIN);
}

TEST_F(SimLockTest, BusyAfterStore) {
    openHand();
    const int64_t storeSent = simNowUs();
    simWrite(simSet(12, STORE, 1));
    // The store request 00C#89000100 takes 86 us; the controller is busy 50 ms after it.
    const int64_t readyUs = storeSent + 86 + SIM_STORE_BUSY_US;
    EXPECT_EQ(simExchange(simGet(12, 3), 10), Frames{});
    simAdvanceTo(readyUs - 58 - 1);
    EXPECT_EQ(simExchange(simGet(12, 3), 1), Frames{});
    simAdvanceTo(readyUs - 58);
    EXPECT_EQ(simExchange(simGet(12, 3), 1), Frames{"20C#83000C"});
    EXPECT_EQ(simDovelState(12).framesIgnored, 2);
}

TEST_F(SimLockTest, RoleStuckIgnoresRoleWrites) {
    openHand("role-stuck=14");
    simSendAccessCode(14, UNLOCK_MAIN);
    simWrite(simSet(14, ROLE, 0x3C80));
    EXPECT_EQ(simExchange(simGet(14, ROLE)), Frames{"20E#8100853C"});
    EXPECT_TRUE(simDovelState(14).unlocked);
    // The others take theirs.
    simSendAccessCode(13, UNLOCK_MAIN);
    simWrite(simSet(13, ROLE, 0x8460));
    EXPECT_EQ(simExchange(simGet(13, ROLE)), Frames{"20D#81006084"});
}

}  // namespace
