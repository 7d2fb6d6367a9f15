#include "app/CLI_Display.h"

#include <cstring>
#include <unistd.h>

uint8_t CLI_Display::spinner_position = 0;

namespace {
constexpr int kBarWidth = 69;
constexpr char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == kBarWidth);
constexpr const char *kFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
} // namespace

CLI_Display::CLI_Display() : out_(stdout), err_(stderr), terminal_(-1) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

CLI_Display::CLI_Display(FILE *out, FILE *err, int terminal) : out_(out), err_(err), terminal_(terminal) {}

bool CLI_Display::isTerminal() const {
  if (terminal_ >= 0)
    return terminal_ != 0;
  return isatty(fileno(out_)) == 1;
}

void CLI_Display::clearLine() { fprintf(out_, "\r%*s\r", 88, " "); }

void CLI_Display::display_progress(bool on) {
  if (!on && isTerminal())
    clearLine();
}

void CLI_Display::update_progress(double fraction, const char *label) {
  if (!isTerminal())
    return;
  // A fraction outside 0..1 or a label too long for the bar would make the
  // field widths negative; keep them in range.
  if (!(fraction >= 0.0))
    fraction = 0.0;
  if (fraction > 1.0)
    fraction = 1.0;
  int width = kBarWidth;
  if (label != nullptr)
    width = kBarWidth - static_cast<int>(strlen(label)) - 4;
  if (width < 0)
    width = 0;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100.0);
  if (label == nullptr)
    fprintf(out_, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  else
    fprintf(out_, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char *label) {
  if (!isTerminal())
    return;
  if (!on) {
    clearLine();
    return;
  }
  const char *frame = kFrames[spinner_position % 8];
  if (label != nullptr)
    fprintf(out_, "\r (%s) %s      \r", label, frame);
  else
    fprintf(out_, "\r %s      \r", frame);
  spinner_position = static_cast<uint8_t>((spinner_position + 1) % 8);
}

void CLI_Display::info_message(const char *text) { fprintf(out_, "%s\n", text); }

void CLI_Display::error_message(const char *text) { fprintf(err_, "%s\n", text); }
