// The simulated controllers' answers to get and set requests, frame by frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/clock.h"
#include "tests/support/sim_session.h"

namespace {

using Frames = std::vector<std::string>;

class SimPropertyTest : public SimSessionTest {};

struct GetCase {
    int node;
    int property;
    const char* reply;
};

// Fresh controllers run their main firmware with the ROLE words they start with.
const GetCase GET_CASES[] = {
    {11, 1, "20B#81002512"},                            // ROLE 0x1225, two value bytes
    {12, 1, "20C#8100450A"},  {13, 1, "20D#81006584"},  // 0x8465: bit 15 set in the top value byte
    {14, 1, "20E#8100853C"},  {11, 3, "20B#83000B"},    // ID: the node in DATA[2]
    {12, 3, "20C#83000C"},    {13, 3, "20D#83000D"},   {14, 3, "20E#83000E"},
    {11, 5, "20B#850001"},     // STATUS: non-zero in main firmware
    {12, 0, "20C#80001402"},   // VERS
    {13, 0x42, "20D#C20000"},  // a property it does not have reads 0
    {14, 9, "20E#890000"},    {11, 13, "20B#8D0000"},  {12, 127, "20C#FF0000"},
};

TEST_F(SimPropertyTest, EveryGetHasExactlyOneLittleEndianReply) {
    openHand();
    for (const GetCase& c : GET_CASES) {
        EXPECT_EQ(simExchange(simGet(c.node, c.property)), Frames{c.reply})
            << "node " << c.node << " property " << c.property;
    }
}

TEST_F(SimPropertyTest, ReplyComesAfterProcessingAndBusTime) {
    openHand();
    const int64_t start = simNowUs();
    simWrite(simGet(11, 3));
    CanFrame reply{};
    CAN_WaitForFrame(start + 1000000);
    ASSERT_EQ(CAN_Read(&reply), CAN_OK);
    // 58 bits of request, 20 us in the controller, 76 bits of reply.
    EXPECT_EQ(simNowUs() - start, 58 + 20 + 76);
    EXPECT_EQ(simFrameText(reply), "20B#83000B");
}

struct SetCase {
    const char* name;
    int property;
    uint16_t value;
};

const SetCase SET_CASES[] = {
    {"VERS", 0, 0x0001},
    {"ROLE while locked", 1, 0x1234},
    {"ID", 3, 0x0005},
    {"STATUS non-zero", 5, 0x0001},
    {"STORE other than 1", 9, 0x0002},
    {"UNLOCK word", 13, 0x4C7A},
    {"unknown property", 0x42, 0x7777},
    {"start request in main firmware", 0, 0x00AA},
};

TEST_F(SimPropertyTest, NoSetIsAnsweredAndNoneChangesWhatIsRead) {
    openHand();
    for (const SetCase& c : SET_CASES) {
        EXPECT_EQ(simExchange(simSet(12, c.property, c.value), 20), Frames{}) << c.name;
    }
    EXPECT_EQ(simExchange(simGet(12, 1)), Frames{"20C#8100450A"});
    EXPECT_EQ(simExchange(simGet(12, 3)), Frames{"20C#83000C"});
    EXPECT_EQ(simExchange(simGet(12, 5)), Frames{"20C#850001"});
    EXPECT_EQ(simDovelState(12).resets, 0);
}

TEST_F(SimPropertyTest, FramesForOtherNodesAreNotAnswered) {
    openHand();
    EXPECT_EQ(simExchange(simGet(10, 3)), Frames{});
    EXPECT_EQ(simExchange(simGet(15, 3)), Frames{});
    EXPECT_EQ(simExchange(simGet(0x20B, 3)), Frames{});
}

// Replies in the packed form come from 0x400 | node << 5 | 3, beyond the filter the
// link start-up installs.
TEST_F(SimPropertyTest, PackedRepliesAreDroppedByTheLinkFilter) {
    openHand("packed=1");
    EXPECT_EQ(simExchange(simGet(11, 1)), Frames{});
    EXPECT_EQ(simExchange(simGet(11, 3)), Frames{"20B#83000B"});  // other properties as usual

    // Without the filter the same get shows the packed reply.
    ASSERT_EQ(CAN_MsgFilter(0, 0x7FF, CAN_INIT_TYPE_STANDARD), CAN_OK);
    EXPECT_EQ(simExchange(simGet(11, 1)), Frames{"563#801225"});
    EXPECT_EQ(simExchange(simGet(13, 1)), Frames{"5A3#808465"});
    EXPECT_EQ(0x563u & 0x41Fu, 0x403u);
    EXPECT_EQ(0x5A3u & 0x41Fu, 0x403u);
}

TEST_F(SimPropertyTest, InitOpensTheFilterAgain) {
    openHand("packed=3");
    EXPECT_EQ(simExchange(simGet(14, 3)), Frames{});
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_OK);
    EXPECT_EQ(simExchange(simGet(14, 3)), Frames{"5C3#80000E"});
}

TEST_F(SimPropertyTest, UnknownPropertyCanBePacked) {
    openHand("packed=100");
    ASSERT_EQ(CAN_MsgFilter(0, 0x7FF, CAN_INIT_TYPE_STANDARD), CAN_OK);
    EXPECT_EQ(simExchange(simGet(12, 100)), Frames{"583#800000"});
}

}  // namespace
