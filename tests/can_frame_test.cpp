#include "can/can_frame.h"

#include <gtest/gtest.h>

#include <cstring>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "tests/support/environment.h"

namespace {

// The adapter's library reads the record as bytes: check the bytes, not only offsets.
TEST(CanFrameLayout, IsLittleEndianWithoutGaps) {
    CanFrame frame{};
    frame.ID = 0x0403020Bu;
    frame.TYPE = 0x80;
    frame.LEN = 4;
    for (int i = 0; i < CAN_MAX_DATA; ++i) {
        frame.DATA[i] = static_cast<uint8_t>(0xD0 + i);
    }
    unsigned char bytes[sizeof(CanFrame)];
    std::memcpy(bytes, &frame, sizeof bytes);
    const unsigned char expected[14] = {0x0B, 0x02, 0x03, 0x04, 0x80, 0x04, 0xD0,
                                        0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof expected));
}

struct BackendSettingCase {
    const char* setting;
    const char* expectedName;  // nullptr: no backend
};

class BackendSelectionTest : public testing::TestWithParam<BackendSettingCase> {
  protected:
    void TearDown() override {
        canUseBackend(nullptr);
        clockUse(nullptr);
    }
};

TEST_P(BackendSelectionTest, PicksTheNamedBackendOrNone) {
    const BackendSettingCase& c = GetParam();
    testing::internal::CaptureStderr();
    const CanBackend* backend = canOpenBackend(c.setting);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    if (c.expectedName == nullptr) {
        EXPECT_EQ(backend, nullptr);
        EXPECT_NE(diagnostics.find("DOVEL_CAN"), std::string::npos) << diagnostics;
    } else {
        ASSERT_NE(backend, nullptr) << diagnostics;
        EXPECT_STREQ(backend->name, c.expectedName);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, BackendSelectionTest,
                         testing::Values(BackendSettingCase{"sim", "sim"},
                                         BackendSettingCase{"sim:fast", "sim"},
                                         BackendSettingCase{"nonsense", nullptr},
                                         BackendSettingCase{"simulator", nullptr},
                                         BackendSettingCase{":fast", nullptr}));

TEST(CanInit, UnknownBackendFailsWithACodeAndOneDiagnosticLine) {
    canUseBackend(nullptr);
    canConfigure("nonsense");
    testing::internal::CaptureStderr();
    const int32_t result = CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "DOVEL_CAN: unknown backend 'nonsense'\n");
    canConfigure(nullptr);
    EXPECT_EQ(result, CAN_ERR_NO_BACKEND);
    CanFrame frame{};
    EXPECT_EQ(CAN_Read(&frame), CAN_ERR_NOT_INITIALIZED);
}

}  // namespace
