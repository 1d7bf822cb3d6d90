#include <gtest/gtest.h>

#include <string>

#include "common/aDebug.h"

namespace {

// Restores the switches whatever the test does with them.
class DebugOutput : public ::testing::Test {
  protected:
    void TearDown() override {
        aQuillarexDebuggingEnable = false;
        aQuillarexDebuggingLevel = 0;
    }
    static std::string Print(uint32_t area) {
        ::testing::internal::CaptureStdout();
        aDebug_Printf(area, "link %d %s", 5, "up");
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(DebugOutput, OffByDefault) {
    EXPECT_FALSE(aQuillarexDebuggingEnable);
    EXPECT_EQ(aQuillarexDebuggingLevel, 0u);
    EXPECT_EQ(Print(aDEBUG_AREA_LINK), "");
}

TEST_F(DebugOutput, NeedsSwitchAndAreaBit) {
    aQuillarexDebuggingLevel = aDEBUG_AREA_LINK | aDEBUG_AREA_USB;
    EXPECT_EQ(Print(aDEBUG_AREA_LINK), "");  // switch still off
    aQuillarexDebuggingEnable = true;
    EXPECT_EQ(Print(aDEBUG_AREA_LINK), "link 5 up\n");
    EXPECT_EQ(Print(aDEBUG_AREA_USB), "link 5 up\n");
    EXPECT_EQ(Print(aDEBUG_AREA_PACKETS), "");
    EXPECT_EQ(Print(aDEBUG_AREA_BEACON), "");
    EXPECT_TRUE(aDebug_IsOn(aDEBUG_AREA_USB));
    EXPECT_FALSE(aDebug_IsOn(aDEBUG_AREA_SERVER));
}

}  // namespace
