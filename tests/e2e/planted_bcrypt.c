// A bcrypt.dll as an attacker plants it beside the bootstrap: once loaded, it leaves a marker file
// beside itself, and every CNG function it exports (planted_bcrypt.def) answers success, the
// signature check among them.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR path[MAX_PATH + 32];
        DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        while (length > 0 && path[length - 1] != L'\\') --length;
        lstrcpyW(path + length, L"planted-bcrypt-was-loaded");
        CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
    return TRUE;
}

LONG WINAPI Succeed(void) {
    return 0;
}
