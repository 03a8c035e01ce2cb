// The socketcan backend's pure parts: option parsing, frame conversion, the status
// bits of error frames and the kernel filters for an identifier range.
#if defined(__linux__)
#include "can/socketcan_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct OptionCase {
    const char* options;
    int expectedResult;
    const char* expectedInterface;  // when the result is 0
};

class SocketcanOptionsTest : public testing::TestWithParam<OptionCase> {};

TEST_P(SocketcanOptionsTest, NamesTheInterface) {
    const OptionCase& c = GetParam();
    char iface[IFNAMSIZ];
    std::memset(iface, 'x', sizeof iface);
    ASSERT_EQ(c.expectedResult, socketcanParseOptions(c.options, iface));
    if (c.expectedResult == 0) {
        EXPECT_STREQ(c.expectedInterface, iface);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketcanOptionsTest,
    testing::Values(OptionCase{"", 0, "can0"}, OptionCase{nullptr, 0, "can0"},
                    OptionCase{"vcan0", 0, "vcan0"}, OptionCase{"can1", 0, "can1"},
                    OptionCase{"abcdefghijklmno", 0, "abcdefghijklmno"},
                    OptionCase{"abcdefghijklmnop", 1, nullptr}, OptionCase{".", 1, nullptr},
                    OptionCase{"..", 1, nullptr}, OptionCase{"a/b", 1, nullptr},
                    OptionCase{"vcan0:x", 1, nullptr}, OptionCase{"can 0", 1, nullptr},
                    OptionCase{"can\t0", 1, nullptr}));

can_frame errorFrame(canid_t classes, uint8_t controllerDetail) {
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.can_dlc = CAN_ERR_DLC;
    frame.data[1] = controllerDetail;
    return frame;
}

struct StatusCase {
    const char* name;
    canid_t classes;
    uint8_t controllerDetail;
    uint8_t expectedBits;
};

class SocketcanStatusTest : public testing::TestWithParam<StatusCase> {};

TEST_P(SocketcanStatusTest, MapsTheErrorFrame) {
    const StatusCase& c = GetParam();
    EXPECT_EQ(c.expectedBits, socketcanStatusBits(errorFrame(c.classes, c.controllerDetail)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketcanStatusTest,
    testing::Values(
        StatusCase{"BusOff", CAN_ERR_BUSOFF, 0, SOCKETCAN_STATUS_BUS_OFF},
        StatusCase{"RxPassive", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE,
                   SOCKETCAN_STATUS_ERROR_PASSIVE},
        StatusCase{"TxPassive", CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE,
                   SOCKETCAN_STATUS_ERROR_PASSIVE},
        StatusCase{"RxWarning", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING,
                   SOCKETCAN_STATUS_ERROR_WARNING},
        StatusCase{"TxWarning", CAN_ERR_CRTL, CAN_ERR_CRTL_TX_WARNING,
                   SOCKETCAN_STATUS_ERROR_WARNING},
        StatusCase{"RxOverflow", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW,
                   SOCKETCAN_STATUS_RX_OVERFLOW},
        StatusCase{"TxOverflow", CAN_ERR_CRTL, CAN_ERR_CRTL_TX_OVERFLOW,
                   SOCKETCAN_STATUS_TX_OVERFLOW},
        StatusCase{"BackToActive", CAN_ERR_CRTL, CAN_ERR_CRTL_ACTIVE,
                   SOCKETCAN_STATUS_BACK_TO_ACTIVE},
        StatusCase{"ControllerWithoutDetail", CAN_ERR_CRTL, CAN_ERR_CRTL_UNSPEC,
                   SOCKETCAN_STATUS_OTHER},
        StatusCase{"LostArbitration", CAN_ERR_LOSTARB, 0, SOCKETCAN_STATUS_LOST_ARBITRATION},
        StatusCase{"Restarted", CAN_ERR_RESTARTED, 0, SOCKETCAN_STATUS_BACK_TO_ACTIVE},
        StatusCase{"AckMissing", CAN_ERR_ACK, 0, SOCKETCAN_STATUS_OTHER},
        StatusCase{"BusOffAfterPassive", CAN_ERR_BUSOFF | CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE,
                   SOCKETCAN_STATUS_BUS_OFF | SOCKETCAN_STATUS_ERROR_PASSIVE},
        StatusCase{"WarningAndOverflow", CAN_ERR_CRTL,
                   CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_RX_OVERFLOW,
                   SOCKETCAN_STATUS_ERROR_WARNING | SOCKETCAN_STATUS_RX_OVERFLOW}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST(SocketcanStatusTest, ControllerFrameWithoutDataBytesIsOther) {
    can_frame frame = errorFrame(CAN_ERR_CRTL, CAN_ERR_CRTL_RX_PASSIVE);
    frame.can_dlc = 0;
    EXPECT_EQ(SOCKETCAN_STATUS_OTHER, socketcanStatusBits(frame));
}

TEST(SocketcanFromKernelTest, ErrorFrameBecomesStatusRecord) {
    CanFrame record;
    std::memset(&record, 0xEE, sizeof record);
    ASSERT_EQ(SOCKETCAN_ERROR_FRAME,
              socketcanFromKernel(
                  errorFrame(CAN_ERR_BUSOFF | CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE), &record));
    EXPECT_EQ(static_cast<uint32_t>(CAN_ERR_BUSOFF | CAN_ERR_CRTL), record.ID);
    EXPECT_EQ(FRAME_TYPE_STATUS, record.TYPE);
    EXPECT_EQ(SOCKETCAN_STATUS_LEN, record.LEN);
    const uint8_t expected[CAN_MAX_DATA] = {
        0, 0, 0, SOCKETCAN_STATUS_BUS_OFF | SOCKETCAN_STATUS_ERROR_PASSIVE, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, record.DATA, sizeof expected));
}

TEST(SocketcanFromKernelTest, StandardDataFrameBecomesTypeZeroRecord) {
    can_frame in{};
    in.can_id = 0x00B;
    in.can_dlc = 4;
    const uint8_t payload[CAN_MAX_DATA] = {0x81, 0x03, 0x0C, 0x00, 0x55, 0x66, 0x77, 0x88};
    std::memcpy(in.data, payload, sizeof payload);
    CanFrame record;
    std::memset(&record, 0xEE, sizeof record);
    ASSERT_EQ(SOCKETCAN_DATA_FRAME, socketcanFromKernel(in, &record));
    EXPECT_EQ(0x00Bu, record.ID);
    EXPECT_EQ(FRAME_TYPE_STANDARD, record.TYPE);
    EXPECT_EQ(4, record.LEN);
    const uint8_t expected[CAN_MAX_DATA] = {0x81, 0x03, 0x0C, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, record.DATA, sizeof expected));
}

TEST(SocketcanFromKernelTest, ExtendedAndRemoteFramesAreSkippedUntouched) {
    for (canid_t id : {canid_t{CAN_EFF_FLAG | 0x00B}, canid_t{CAN_RTR_FLAG | 0x00B}}) {
        can_frame in{};
        in.can_id = id;
        in.can_dlc = 1;
        CanFrame record;
        std::memset(&record, 0xEE, sizeof record);
        EXPECT_EQ(SOCKETCAN_SKIPPED, socketcanFromKernel(in, &record)) << std::hex << id;
        EXPECT_EQ(0xEEEEEEEEu, record.ID);
    }
}

TEST(SocketcanToKernelTest, StandardRecordBecomesDataFrame) {
    CanFrame record{};
    record.ID = 0x7FF;
    record.TYPE = FRAME_TYPE_STANDARD;
    record.LEN = 8;
    for (int i = 0; i < CAN_MAX_DATA; ++i) {
        record.DATA[i] = static_cast<uint8_t>(0x10 + i);
    }
    can_frame out;
    std::memset(&out, 0xEE, sizeof out);
    ASSERT_EQ(0, socketcanToKernel(record, &out));
    EXPECT_EQ(0x7FFu, out.can_id);
    EXPECT_EQ(8, out.can_dlc);
    EXPECT_EQ(0, std::memcmp(record.DATA, out.data, CAN_MAX_DATA));
}

TEST(SocketcanToKernelTest, BytesBeyondLenAreNotSent) {
    CanFrame record{};
    record.ID = 12;
    record.LEN = 1;
    std::memset(record.DATA, 0xAB, sizeof record.DATA);
    can_frame out{};
    ASSERT_EQ(0, socketcanToKernel(record, &out));
    EXPECT_EQ(1, out.can_dlc);
    const uint8_t expected[CAN_MAX_DATA] = {0xAB, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, out.data, sizeof expected));
}

struct UnsendableCase {
    uint32_t id;
    uint8_t type;
    uint8_t len;
};

class SocketcanUnsendableTest : public testing::TestWithParam<UnsendableCase> {};

TEST_P(SocketcanUnsendableTest, IsRefused) {
    CanFrame record{};
    record.ID = GetParam().id;
    record.TYPE = GetParam().type;
    record.LEN = GetParam().len;
    can_frame out{};
    EXPECT_EQ(1, socketcanToKernel(record, &out));
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketcanUnsendableTest,
                         testing::Values(UnsendableCase{0x800, FRAME_TYPE_STANDARD, 1},
                                         UnsendableCase{11, FRAME_TYPE_STATUS, 1},
                                         UnsendableCase{11, 0x02, 1},
                                         UnsendableCase{11, FRAME_TYPE_STANDARD, 9}));

// The kernel's rule: a frame passes a filter when its identifier, flags included,
// equals the filter's under the filter's mask.
bool passes(const can_filter* filters, int count, canid_t frameId) {
    for (int i = 0; i < count; ++i) {
        if ((frameId & filters[i].can_mask) == (filters[i].can_id & filters[i].can_mask)) {
            return true;
        }
    }
    return false;
}

struct RangeCase {
    uint32_t lowest;
    uint32_t highest;
    int expectedCount;
};

class SocketcanRangeFilterTest : public testing::TestWithParam<RangeCase> {};

TEST_P(SocketcanRangeFilterTest, PassesExactlyTheStandardDataFramesInRange) {
    const RangeCase& c = GetParam();
    can_filter filters[SOCKETCAN_MAX_RANGE_FILTERS];
    const int count = socketcanRangeFilters(c.lowest, c.highest, filters);
    ASSERT_EQ(c.expectedCount, count);
    for (canid_t id = 0; id <= CAN_SFF_MASK; ++id) {
        const bool inRange = id >= c.lowest && id <= c.highest;
        ASSERT_EQ(inRange, passes(filters, count, id)) << "ID " << id;
        ASSERT_FALSE(passes(filters, count, id | CAN_RTR_FLAG)) << "remote ID " << id;
        ASSERT_FALSE(passes(filters, count, id | CAN_EFF_FLAG)) << "extended ID " << id;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketcanRangeFilterTest,
                         testing::Values(RangeCase{0, 1023, 1}, RangeCase{0, 0x7FF, 1},
                                         RangeCase{11, 14, 3}, RangeCase{5, 5, 1},
                                         RangeCase{1, 0x7FE, 20}, RangeCase{1024, 0x7FF, 1},
                                         RangeCase{100, 1000, 11}));

TEST(SocketcanRangeFilterTest, TheUtilitysRangeIsOneMask) {
    can_filter filters[SOCKETCAN_MAX_RANGE_FILTERS];
    ASSERT_EQ(1, socketcanRangeFilters(0, 1023, filters));
    EXPECT_EQ(0u, filters[0].can_id);
    EXPECT_EQ(static_cast<canid_t>(CAN_EFF_FLAG | CAN_RTR_FLAG | 0x400), filters[0].can_mask);
}

TEST(SocketcanRangeFilterTest, EmptyOrTooWideRangeGivesNoFilter) {
    can_filter filters[SOCKETCAN_MAX_RANGE_FILTERS];
    EXPECT_EQ(0, socketcanRangeFilters(3, 2, filters));
    EXPECT_EQ(0, socketcanRangeFilters(0, 0x800, filters));
    EXPECT_EQ(0, socketcanRangeFilters(0x800, 0x900, filters));
}

}  // namespace
#endif
