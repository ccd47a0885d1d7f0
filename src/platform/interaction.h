#pragma once

// What the player sees: the standard streams (written with FileSystem::WriteFile), message
// boxes, the desktop they appear on, and the progress window's calls.

#include "platform/seam_types.h"

namespace veltomarn {

class Interaction {
  public:
    virtual ~Interaction() = default;

    virtual Handle GetStdHandle(uint32_t which) = 0;
    virtual int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                            uint32_t style) = 0;
    virtual void* GetDesktopWindow() = 0;

    // comctl32.dll is not among the DLLs Windows always takes from the system directory: it is
    // loaded from there (the manifest makes it version 6) on the first call. The
    // INITCOMMONCONTROLSEX record is built with its size and `classes`. False when the DLL,
    // the function or the call fails.
    virtual bool InitCommonControlsEx(uint32_t classes) = 0;
    virtual uint16_t RegisterClassExW(const WindowClass& windowClass) = 0;
    // The executable's module is the instance; no creation parameter.
    virtual void* CreateWindowExW(uint32_t exStyle, const WideChar* className,
                                  const WideChar* windowName, uint32_t style, int x, int y,
                                  int width, int height, void* parent, uintptr_t menu) = 0;
    virtual bool DestroyWindow(void* window) = 0;
    virtual bool ShowWindow(void* window, int command) = 0;
    virtual bool SetForegroundWindow(void* window) = 0;
    virtual void* SetFocus(void* window) = 0;
    virtual bool PeekMessageW(WindowMessage* message, void* window, uint32_t filterMin,
                              uint32_t filterMax, uint32_t remove) = 0;
    virtual bool IsDialogMessageW(void* dialog, WindowMessage* message) = 0;
    virtual bool TranslateMessage(const WindowMessage* message) = 0;
    virtual intptr_t DispatchMessageW(const WindowMessage* message) = 0;
    virtual intptr_t SendMessageW(void* window, uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) = 0;
    virtual intptr_t DefWindowProcW(void* window, uint32_t message, uintptr_t wParam,
                                    intptr_t lParam) = 0;
    virtual int GetSystemMetrics(int index) = 0;
    virtual int32_t GetDialogBaseUnits() = 0;
    // gdi32.dll, one of the DLLs Windows always takes from the system directory.
    virtual void* GetStockObject(int object) = 0;
};

}  // namespace veltomarn
