// What the user sees: messages, a progress bar and a spinner. The orchestration
// code talks only to this interface, so any front end can stand behind it.
#ifndef APP_UPDATERDISPLAYINTERFACE_H
#define APP_UPDATERDISPLAYINTERFACE_H

class UpdaterDisplayInterface {
  public:
    // Any value other than Error is shown as Info.
    enum Level { Info = 0, Error = 1 };

    UpdaterDisplayInterface() : muted(false) {}

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats printf-style into a 2048-byte buffer (longer results are cut to
    // 2047 characters) and hands the text to error_message or info_message.
    // Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Muting silences message() only; progress and spinner are still drawn.
    void mute_messages(bool mute) { muted = mute; }

    static constexpr unsigned kMessageBufferSize = 2048;

  protected:
    // Displays are owned by value and passed by reference; never deleted
    // through this interface.
    ~UpdaterDisplayInterface() = default;

    bool muted;
};

#endif
