#include "app/CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kLineWidth = 88;
constexpr int kBarWidth = 69;
constexpr const char kBar[] =
    "=====================================================================";
static_assert(sizeof(kBar) - 1 == kBarWidth, "the bar text fills the bar");

constexpr const char* kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// Shared by every display in the process.
unsigned char _spinner_index = 0;

bool _stdout_is_terminal() {
    return isatty(fileno(stdout)) == 1;
}

void _clear_line() {
    fprintf(stdout, "\r%*s\r", kLineWidth, " ");
}

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!_stdout_is_terminal()) {
        return;
    }
    if (!show) {
        _clear_line();
    }
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!_stdout_is_terminal()) {
        return;
    }
    // Out-of-range fractions would index past the bar text; draw them as the
    // nearest end instead.
    if (!(fraction >= 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    int width = kBarWidth;
    if (label != nullptr) {
        width = kBarWidth - static_cast<int>(strlen(label)) - 4;
        if (width < 0) {
            width = 0;  // a label this long leaves no room for the bar
        }
    }
    const int percent = static_cast<int>(fraction * 100.0);
    const int filled = static_cast<int>(width * fraction);
    if (label == nullptr) {
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
    } else {
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "",
                percent);
    }
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!_stdout_is_terminal()) {
        return;
    }
    if (!active) {
        _clear_line();
        return;
    }
    const char* frame = kSpinnerFrames[_spinner_index % 8];
    if (label == nullptr) {
        fprintf(stdout, "\r %s      \r", frame);
    } else {
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    }
    _spinner_index = static_cast<unsigned char>((_spinner_index + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
    fprintf(stdout, "%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text ? text : "");
}
