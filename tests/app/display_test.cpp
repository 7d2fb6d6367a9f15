#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CLI_Display.h"
#include "recording_display.h"

namespace {

// Captures what a CLI_Display writes to its two streams.
class Captured {
public:
  Captured() {
    out_ = open_memstream(&outBuf_, &outLen_);
    err_ = open_memstream(&errBuf_, &errLen_);
  }
  ~Captured() {
    fclose(out_);
    fclose(err_);
    free(outBuf_);
    free(errBuf_);
  }
  FILE *out() { return out_; }
  FILE *err() { return err_; }
  std::string outText() {
    fflush(out_);
    return std::string(outBuf_, outLen_);
  }
  std::string errText() {
    fflush(err_);
    return std::string(errBuf_, errLen_);
  }

private:
  FILE *out_, *err_;
  char *outBuf_ = nullptr, *errBuf_ = nullptr;
  size_t outLen_ = 0, errLen_ = 0;
};

} // namespace

TEST(CLIDisplay, ProgressBarAtTheEdges) {
  Captured c;
  CLI_Display d(c.out(), c.err(), 1);
  d.update_progress(0.0, nullptr);
  EXPECT_EQ(c.outText(), "\r[>" + std::string(68, ' ') + "] (  0% ) ");

  Captured c1;
  CLI_Display d1(c1.out(), c1.err(), 1);
  d1.update_progress(1.0, nullptr);
  // The pad width is -1 there, which printf takes as a left-justified width of 1.
  EXPECT_EQ(c1.outText(), "\r[" + std::string(69, '=') + "> ] (100% ) ");

  Captured c2;
  CLI_Display d2(c2.out(), c2.err(), 1);
  d2.update_progress(0.5, "Loader");
  // Width 69 - 6 - 4 = 59; 29 '=' then '>' then 29 spaces.
  EXPECT_EQ(c2.outText(), "\r (Loader) [" + std::string(29, '=') + ">" + std::string(29, ' ') + "] ( 50% ) ");
}

TEST(CLIDisplay, ProgressWithOversizedLabelOrFractionStaysSane) {
  Captured c;
  CLI_Display d(c.out(), c.err(), 1);
  d.update_progress(2.0, nullptr);
  d.update_progress(0.5, std::string(80, 'L').c_str());
  std::string text = c.outText();
  EXPECT_EQ(text.find(std::string(70, '=')), std::string::npos);
}

TEST(CLIDisplay, SpinnerFramesContinueAcrossSpinners) {
  Captured c;
  CLI_Display d(c.out(), c.err(), 1);
  CLI_Display::spinner_position = 0;
  d.update_spinner(true, "Downloading");
  d.update_spinner(true, nullptr);
  EXPECT_EQ(c.outText(), "\r (Downloading) .      \r\r ..      \r");
  d.update_spinner(false, "Downloading");
  EXPECT_EQ(c.outText().substr(c.outText().size() - 90), "\r" + std::string(88, ' ') + "\r");
  // The next spinner goes on with the third frame, then wraps after eight.
  Captured c2;
  CLI_Display d2(c2.out(), c2.err(), 1);
  for (int i = 0; i < 7; ++i)
    d2.update_spinner(true, nullptr);
  EXPECT_EQ(c2.outText(), "\r ...      \r\r ....      \r\r .....      \r\r ....      \r\r ...      \r\r ..      \r"
                          "\r .      \r");
}

TEST(CLIDisplay, NoTerminalMeansNoProgressButMessagesStill) {
  Captured c;
  CLI_Display d(c.out(), c.err(), 0);
  d.update_progress(0.5, nullptr);
  d.update_spinner(true, "x");
  d.update_spinner(false, "x");
  d.display_progress(false);
  d.message(UpdaterDisplayInterface::Info, "hello %d", 5);
  d.message(UpdaterDisplayInterface::Error, "bad %s", "thing");
  EXPECT_EQ(c.outText(), "hello 5\n");
  EXPECT_EQ(c.errText(), "bad thing\n");
}

TEST(CLIDisplay, ClearingOnlyWhenSwitchedOff) {
  Captured c;
  CLI_Display d(c.out(), c.err(), 1);
  d.display_progress(true);
  EXPECT_EQ(c.outText(), "");
  d.display_progress(false);
  EXPECT_EQ(c.outText(), "\r" + std::string(88, ' ') + "\r");
}

TEST(DisplayInterface, MessagesAreCutAndMutable) {
  qwtest::RecordingDisplay d;
  std::string longText(3000, 'x');
  d.message(UpdaterDisplayInterface::Info, "%s", longText.c_str());
  ASSERT_EQ(d.messages.size(), 1u);
  EXPECT_EQ(d.messages[0].text.size(), 2047u);
  d.mute_messages(true);
  d.message(UpdaterDisplayInterface::Info, "quiet");
  d.message(UpdaterDisplayInterface::Error, "quiet");
  d.update_spinner(true, "Downloading"); // progress is not muted
  EXPECT_EQ(d.messages.size(), 1u);
  EXPECT_EQ(d.spinner.size(), 1u);
  d.mute_messages(false);
  d.message(static_cast<UpdaterDisplayInterface::Level>(7), "other levels are info");
  EXPECT_EQ(d.messages.back().level, UpdaterDisplayInterface::Info);
}
