#include "platform/win32/win32_platform.h"

// <windows.h> first: the other headers build on its types.
#include <windows.h>

#include <shellapi.h>

namespace veltomarn {
namespace {

static_assert(sizeof(WideChar) == sizeof(wchar_t), "UTF-16 code units are wchar_t on Windows");

LPCWSTR W(const WideChar* text) {
    return reinterpret_cast<LPCWSTR>(text);
}
LPWSTR W(WideChar* text) {
    return reinterpret_cast<LPWSTR>(text);
}

}  // namespace

uint32_t Win32Platform::GetLastError() {
    return ::GetLastError();
}
void Win32Platform::SetLastError(uint32_t error) {
    ::SetLastError(error);
}

bool Win32Platform::SetDefaultDllDirectories(uint32_t flags) {
    return ::SetDefaultDllDirectories(flags) != FALSE;
}
bool Win32Platform::SetDllDirectoryW(const WideChar* path) {
    return ::SetDllDirectoryW(W(path)) != FALSE;
}
bool Win32Platform::SetCurrentDirectoryW(const WideChar* path) {
    return ::SetCurrentDirectoryW(W(path)) != FALSE;
}
const WideChar* Win32Platform::GetCommandLineW() {
    return reinterpret_cast<const WideChar*>(::GetCommandLineW());
}
WideChar** Win32Platform::CommandLineToArgvW(const WideChar* commandLine, int* count) {
    return reinterpret_cast<WideChar**>(::CommandLineToArgvW(W(commandLine), count));
}
void* Win32Platform::LocalFree(void* memory) {
    return ::LocalFree(memory);
}
uint32_t Win32Platform::GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), W(buffer), size);
}
uint32_t Win32Platform::GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                                         WideChar** filePart) {
    return ::GetFullPathNameW(W(path), size, W(buffer), reinterpret_cast<LPWSTR*>(filePart));
}
uint32_t Win32Platform::GetSystemDirectoryW(WideChar* buffer, uint32_t size) {
    return ::GetSystemDirectoryW(W(buffer), size);
}
uint32_t Win32Platform::GetWindowsDirectoryW(WideChar* buffer, uint32_t size) {
    return ::GetWindowsDirectoryW(W(buffer), size);
}
uint64_t Win32Platform::GetTickCount64() {
    return ::GetTickCount64();
}
int Win32Platform::CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b,
                                        int countB, bool ignoreCase) {
    return ::CompareStringOrdinal(W(a), countA, W(b), countB, ignoreCase ? TRUE : FALSE);
}

Handle Win32Platform::GetStdHandle(uint32_t which) {
    return ::GetStdHandle(which);
}
bool Win32Platform::WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(file, data, size, &count, nullptr);
    *written = count;
    return ok != FALSE;
}
bool Win32Platform::CloseHandle(Handle handle) {
    return ::CloseHandle(handle) != FALSE;
}

int Win32Platform::MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                               uint32_t style) {
    return ::MessageBoxW(static_cast<HWND>(owner), W(text), W(caption), style);
}

}  // namespace veltomarn
