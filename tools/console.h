// The operator's console: the terminal in single-key mode and one key at a time.
#pragma once

#include <termios.h>

namespace callctl {

// The terminal in single-key mode while the console runs; Ctrl-C still
// raises SIGINT.
class KeyboardMode {
public:
    KeyboardMode();
    ~KeyboardMode();
    KeyboardMode(const KeyboardMode&) = delete;
    KeyboardMode& operator=(const KeyboardMode&) = delete;
    bool terminal() const { return active_; }

private:
    struct termios saved_ {};
    bool active_ = false;
};

// One key, or 0 after `ms` without one; -1 at the end of input.
int readKey(int ms);

} // namespace callctl
