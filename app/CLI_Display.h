// The console front end: messages on standard output and standard error, and
// the progress bar and spinner, drawn only when standard output is a terminal.
#ifndef APP_CLI_DISPLAY_H
#define APP_CLI_DISPLAY_H

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
  public:
    // Switches standard output and standard error to unbuffered mode.
    CLI_Display();

    // show == false clears the line; show == true draws nothing.
    void display_progress(bool show) override;
    // "[====>   ] ( 50% ) ", preceded by " (label) " when a label is given.
    void update_progress(double fraction, const char* label) override;
    // One frame of the dot spinner per call while active; clears the line at
    // the end of the wait.
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};

#endif
