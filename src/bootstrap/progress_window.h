#pragma once

// The normal mode's progress window. When the package check, the unsealing and the check before
// start have taken a second, a small window appears: a line saying what happens, a bar over the
// bytes of that work, and a Cancel button. It lives on the bootstrap's one thread: the crypto
// provider reports every chunk it hashes or decrypts, and there the window is drawn, its messages
// are pumped (so it never shows "not responding"), and a cancel (the button, Escape, closing the
// window) ends the run with "USER_CANCELLED". A window that cannot be made is no failure: the run
// goes on without it.

#include <cstdint>

#include "platform/platform.h"

namespace veltomarn {

enum class ProgressDisplay { kNone, kWindow };

class ProgressWindow {
  public:
    // With kWindow, follows the provider's work from now on (one window at a time per process).
    ProgressWindow(Platform& platform, ProgressDisplay display);
    ~ProgressWindow();
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    // The next step: its line, and the bar starts over with nothing expected yet.
    void Begin(const char16_t* line);
    // `bytes` more are to be hashed or decrypted in this step.
    void Expect(uint64_t bytes);
    // The last point a cancel is honoured ("USER_CANCELLED", after the window is gone). From here
    // on the window is gone and the provider's work is no longer followed.
    void Close();

  private:
    static intptr_t Procedure(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void Worked(uint64_t bytes);
    bool Create();
    void* Control(const char16_t* className, const char16_t* text, uint32_t style, int x, int y,
                  int width, int height, uintptr_t id);
    void Show();
    void Pump();
    void Destroy();

    Platform& platform_;
    const uint64_t startTick_;
    uint64_t pumpedTick_ = 0;
    const char16_t* line_ = u"";
    uint64_t expected_ = 0;
    uint64_t done_ = 0;
    int shown_ = -1;  // the bar's position last set
    bool following_ = false;
    bool unavailable_ = false;  // making the window failed once: not tried again
    bool cancelled_ = false;
    void* window_ = nullptr;
    void* text_ = nullptr;
    void* bar_ = nullptr;
    int scale_ = 16;  // the dialog base units' height: 16 at 96 dots per inch
};

}  // namespace veltomarn
