#include "bootstrap/progress_window.h"

#include <algorithm>

#include "bootstrap/outcome.h"
#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr uint64_t kShowAfterMs = 1000;
// Drawing and pumping between every chunk would cost more than the work itself under Wine; this
// is often enough for the window to stay responsive and its bar to move smoothly.
constexpr uint64_t kPumpEveryMs = 50;
constexpr int kBarSteps = 1000;
constexpr char16_t kClassName[] = u"VeltoMarnProgress";

// The window's messages reach the one progress window of the process. It is set for that
// object's whole life, which spans every window of the class.
ProgressWindow* active = nullptr;

}  // namespace

ProgressWindow::ProgressWindow(Platform& platform, ProgressDisplay display)
    : platform_(platform), startTick_(platform.GetTickCount64()) {
    if (display != ProgressDisplay::kWindow || active != nullptr) return;
    active = this;
    following_ = true;
    platform_.SetWorkMeter([this](uint64_t bytes) { Worked(bytes); });
}

ProgressWindow::~ProgressWindow() {
    if (!following_ && active != this) return;
    platform_.SetWorkMeter({});
    Destroy();
    active = nullptr;
}

void ProgressWindow::Begin(const char16_t* line) {
    line_ = line;
    expected_ = 0;
    done_ = 0;
    shown_ = -1;
    if (text_ != nullptr) {
        platform_.SendMessageW(text_, win::kWmSetText, 0, reinterpret_cast<intptr_t>(line_));
    }
}

void ProgressWindow::Expect(uint64_t bytes) {
    expected_ += bytes;
}

void ProgressWindow::Close() {
    if (!following_) return;
    following_ = false;
    platform_.SetWorkMeter({});
    if (window_ != nullptr) Pump();
    Destroy();
    check(!cancelled_, "USER_CANCELLED");
}

intptr_t ProgressWindow::Procedure(void* window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam) {
    // The window is destroyed by its owner alone: closing it is a cancel, as the button and
    // Escape are (IsDialogMessageW makes Escape the Cancel command).
    if (message == win::kWmClose ||
        (message == win::kWmCommand && (wParam & 0xFFFF) == win::kIdCancel)) {
        active->cancelled_ = true;
        return 0;
    }
    return active->platform_.DefWindowProcW(window, message, wParam, lParam);
}

void ProgressWindow::Worked(uint64_t bytes) {
    done_ += bytes;
    const uint64_t now = platform_.GetTickCount64();
    if (window_ == nullptr) {
        if (unavailable_ || now - startTick_ < kShowAfterMs) return;
        if (!Create()) {
            unavailable_ = true;
            return;
        }
    } else if (now - pumpedTick_ < kPumpEveryMs) {
        return;
    }
    pumpedTick_ = now;
    Show();
    Pump();
    check(!cancelled_, "USER_CANCELLED");
}

bool ProgressWindow::Create() {
    if (!platform_.InitCommonControlsEx(win::kIccProgressClass)) return false;
    const WindowClass windowClass{
        .procedure = &Procedure, .background = win::kColorBtnFace + 1, .name = kClassName};
    if (platform_.RegisterClassExW(windowClass) == 0 &&
        platform_.GetLastError() != win::kErrorClassAlreadyExists) {
        return false;
    }
    scale_ = std::max(1, static_cast<int>((platform_.GetDialogBaseUnits() >> 16) & 0xFFFF));
    const int width = 360 * scale_ / 16 + 2 * platform_.GetSystemMetrics(win::kSmCxFixedFrame);
    const int height = 116 * scale_ / 16 + 2 * platform_.GetSystemMetrics(win::kSmCyFixedFrame) +
                       platform_.GetSystemMetrics(win::kSmCyCaption);
    window_ = platform_.CreateWindowExW(
        win::kWsExDlgModalFrame | win::kWsExControlParent, kClassName, kMessageBoxCaption,
        win::kWsCaption | win::kWsSysMenu,
        (platform_.GetSystemMetrics(win::kSmCxScreen) - width) / 2,
        (platform_.GetSystemMetrics(win::kSmCyScreen) - height) / 2, width, height, nullptr, 0);
    if (window_ == nullptr) return false;
    text_ = Control(u"Static", line_, 0, 16, 16, 328, 20, 0);
    bar_ = Control(u"msctls_progress32", u"", win::kPbsSmooth, 16, 44, 328, 18, 0);
    void* const button =
        Control(u"Button", u"Cancel", win::kWsTabStop, 264, 78, 80, 26, win::kIdCancel);
    if (text_ == nullptr || bar_ == nullptr || button == nullptr) {
        Destroy();
        return false;
    }
    platform_.SendMessageW(bar_, win::kPbmSetRange32, 0, kBarSteps);
    platform_.ShowWindow(window_, win::kSwShow);
    // In front, with Cancel focused: Escape, Enter and Space reach it at once.
    platform_.SetForegroundWindow(window_);
    platform_.SetFocus(button);
    return true;
}

void* ProgressWindow::Control(const char16_t* className, const char16_t* text, uint32_t style,
                              int x, int y, int width, int height, uintptr_t id) {
    void* const control = platform_.CreateWindowExW(
        0, className, text, win::kWsChild | win::kWsVisible | style, x * scale_ / 16,
        y * scale_ / 16, width * scale_ / 16, height * scale_ / 16, window_, id);
    if (control != nullptr) {
        platform_.SendMessageW(
            control, win::kWmSetFont,
            reinterpret_cast<uintptr_t>(platform_.GetStockObject(win::kDefaultGuiFont)), 0);
    }
    return control;
}

void ProgressWindow::Show() {
    const int position =
        expected_ == 0 ? 0 : static_cast<int>(std::min(done_, expected_) * kBarSteps / expected_);
    if (position == shown_) return;
    shown_ = position;
    platform_.SendMessageW(bar_, win::kPbmSetPos, static_cast<uintptr_t>(position), 0);
}

void ProgressWindow::Pump() {
    WindowMessage message;
    while (platform_.PeekMessageW(&message, nullptr, 0, 0, win::kPmRemove)) {
        if (platform_.IsDialogMessageW(window_, &message)) continue;
        platform_.TranslateMessage(&message);
        platform_.DispatchMessageW(&message);
    }
}

void ProgressWindow::Destroy() {
    if (window_ == nullptr) return;
    platform_.DestroyWindow(window_);  // and its controls with it
    window_ = text_ = bar_ = nullptr;
}

}  // namespace veltomarn
