// Console display and diagnostic log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "cli_support.h"

using cli_test::CaptureFd;
using cli_test::PtyStdout;
using cli_test::RecordingDisplay;

namespace {

const std::string kClearLine = "\r" + std::string(88, ' ') + "\r";

std::string Bar(int filled, int spaces) {
    return std::string(filled, '=') + ">" + std::string(spaces, ' ');
}

}  // namespace

TEST(DisplayMessages, LevelsChooseTheStreamAndANewlineIsAdded) {
    CLI_Display display;
    CaptureFd out(1);
    CaptureFd err(2);
    display.message(UpdaterDisplayInterface::Info, "info %d", 1);
    display.message(UpdaterDisplayInterface::Error, "error %s", "two");
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "odd level");
    const std::string errText = err.Finish();
    const std::string outText = out.Finish();
    EXPECT_EQ(outText, "info 1\nodd level\n");
    EXPECT_EQ(errText, "error two\n");
}

TEST(DisplayMessages, LongMessagesAreCutTo2047Characters) {
    const std::string longText(3000, 'x');
    RecordingDisplay recorder;
    recorder.message(UpdaterDisplayInterface::Error, "%s", longText.c_str());
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].second, std::string(2047, 'x'));

    CLI_Display display;
    CaptureFd err(2);
    display.message(UpdaterDisplayInterface::Error, "ab%s", longText.c_str());
    EXPECT_EQ(err.Finish(), "ab" + std::string(2045, 'x') + "\n");
}

TEST(DisplayMessages, MutingSilencesMessagesOnlyUntilUnmuted) {
    RecordingDisplay recorder;
    recorder.mute_messages(true);
    recorder.message(UpdaterDisplayInterface::Error, "hidden");
    recorder.message(UpdaterDisplayInterface::Info, "hidden");
    EXPECT_TRUE(recorder.messages.empty());
    recorder.mute_messages(false);
    recorder.message(UpdaterDisplayInterface::Error, "shown");
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].second, "shown");
}

TEST(DisplayDrawing, ProgressBarOnATerminal) {
    CLI_Display display;
    PtyStdout pty;
    ASSERT_TRUE(pty.ok());

    display.display_progress(true);
    EXPECT_EQ(pty.Drain(), "");

    display.update_progress(0.5, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(34, 34) + "] ( 50% ) ");

    display.update_progress(0.0, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(0, 68) + "] (  0% ) ");

    // At 1.0 the padding width is -1: one space, two characters wider.
    display.update_progress(1.0, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(69, 1) + "] (100% ) ");

    // A label takes its length plus four from the bar: 69 - 11 - 4 = 54.
    display.update_progress(0.25, "Downloading");
    EXPECT_EQ(pty.Drain(), "\r (Downloading) [" + Bar(13, 40) + "] ( 25% ) ");

    display.display_progress(false);
    EXPECT_EQ(pty.Drain(), kClearLine);

    // Muting concerns messages only.
    display.mute_messages(true);
    display.update_progress(0.5, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(34, 34) + "] ( 50% ) ");
    display.mute_messages(false);
}

TEST(DisplayDrawing, ProgressOutsideItsRangeOrWithAnOverlongLabelStaysInsideTheLine) {
    CLI_Display display;
    PtyStdout pty;
    ASSERT_TRUE(pty.ok());

    display.update_progress(-0.5, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(0, 68) + "] (  0% ) ");
    display.update_progress(3.0, nullptr);
    EXPECT_EQ(pty.Drain(), "\r[" + Bar(69, 1) + "] (100% ) ");

    const std::string label(80, 'L');
    display.update_progress(0.5, label.c_str());
    EXPECT_EQ(pty.Drain(), "\r (" + label + ") [" + Bar(0, 1) + "] ( 50% ) ");
}

TEST(DisplayDrawing, SpinnerCyclesThroughEightFramesOnATerminal) {
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    CLI_Display display;
    PtyStdout pty;
    ASSERT_TRUE(pty.ok());

    // The frame counter is shared by the process: turn until the one frame
    // of five dots has been shown, then three more, so that "." is next.
    for (int i = 0; i < 8; ++i) {
        display.update_spinner(true, nullptr);
        if (pty.Drain() == "\r .....      \r") {
            break;
        }
    }
    for (int i = 0; i < 3; ++i) {
        display.update_spinner(true, nullptr);
    }
    pty.Drain();
    display.update_spinner(true, nullptr);
    ASSERT_EQ(pty.Drain(), "\r .      \r");
    for (int i = 1; i < 9; ++i) {
        display.update_spinner(true, nullptr);
        EXPECT_EQ(pty.Drain(), std::string("\r ") + frames[i % 8] + "      \r") << i;
    }
    // Now at frame 1; stopping clears the line and keeps the counter.
    display.update_spinner(false, "Verifying Update");
    EXPECT_EQ(pty.Drain(), kClearLine);
    display.update_spinner(true, "Verifying Update");
    EXPECT_EQ(pty.Drain(), "\r (Verifying Update) ..      \r");
}

TEST(DisplayDrawing, NothingIsDrawnWhenStandardOutputIsAFile) {
    CLI_Display display;
    CaptureFd out(1);
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_progress(1.0, "Downloading");
    display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::Info, "still shown");
    EXPECT_EQ(out.Finish(), "still shown\n");
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Log::DeactivatePackage(0xFFFFFFFFu);
        stream_ = open_memstream(&buffer_, &size_);
        Log::SetOutput(stream_);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(stream_);
        free(buffer_);
    }
    std::string Written() {
        fflush(stream_);
        return std::string(buffer_, size_);
    }
    FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

TEST_F(LogTest, LinesAreWrittenWhenTheirMaskSharesABitWithTheActivePackages) {
    struct Case {
        uint32_t active;
        uint32_t mask;
        bool written;
    };
    const Case cases[] = {
        {0x9, 0x8, true},         {0x1, 0x8, false},
        {0x0, 0x0, true},         {0x1, 0x0, true},
        {0x10000, 0x10000, true}, {0x10000, 0x100, false},
        {0x0, 0x10000000, false}, {0xFFFFFFFF, 0x10000000, true},
    };
    for (const Case& c : cases) {
        Log::DeactivatePackage(0xFFFFFFFFu);
        Log::ActivatePackage(c.active);
        const std::string before = Written();
        Log::log(c.mask, "line %u", c.mask);
        const std::string added = Written().substr(before.size());
        EXPECT_EQ(added, c.written ? "line " + std::to_string(c.mask) : "")
            << "active " << c.active << " mask " << c.mask;
    }
}

TEST_F(LogTest, PackagesAccumulateAndCanBeSwitchedOffAgain) {
    Log::ActivatePackage(0x1);
    Log::ActivatePackage(0x20);
    EXPECT_EQ(Log::ActivePackages(), 0x21u);
    Log::DeactivatePackage(0x1);
    EXPECT_EQ(Log::ActivePackages(), 0x20u);
    Log::log(0x1, "off\n");
    Log::log(0x20, "on\n");
    EXPECT_EQ(Written(), "on\n");
}

TEST_F(LogTest, NoNewlineIsAddedAndLongLinesAreCut) {
    Log::log(0, "a");
    Log::log(0, "b\n");
    const std::string longText(3000, 'y');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(Written(), "ab\n" + std::string(2047, 'y'));
}

TEST_F(LogTest, LinesAreDroppedWhileNoOutputIsSet) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(stream_);
    Log::log(0, "kept\n");
    EXPECT_EQ(Written(), "kept\n");
}
