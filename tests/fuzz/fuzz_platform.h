#pragma once

// A Platform for the payload fuzzers: one open file whose bytes are the fuzzer's input, served by
// ReadFile and SetFilePointerEx as Windows serves a disk file; every other call fails (FALSE with
// ERROR_CALL_NOT_IMPLEMENTED, a null or invalid handle, STATUS_NOT_SUPPORTED) so that nothing
// outside the payload file is ever reached by accident. RtlSecureZeroMemory zeroes and logs the
// range, so a fuzzer can check what was wiped.

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace veltomarn::fuzzing {

inline void Require(bool ok) {
    if (!ok) __builtin_trap();
}

class BufferPlatform : public Platform {
  public:
    static constexpr uint32_t kErrorCallNotImplemented = 120;
    static constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);
    inline static const Handle kFile = reinterpret_cast<Handle>(static_cast<uintptr_t>(0x4F1E));

    struct Range {
        const uint8_t* begin;
        std::size_t size;
    };

    BufferPlatform(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    uint64_t position() const { return position_; }
    const std::vector<Range>& wipes() const { return wipes_; }

    uint32_t GetLastError() override { return lastError_; }
    void SetLastError(uint32_t error) override { lastError_ = error; }

    bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override {
        Require(file == kFile);
        if (read != nullptr) *read = 0;
        const uint64_t available = position_ >= size_ ? 0 : size_ - position_;
        const auto count = static_cast<uint32_t>(size < available ? size : available);
        if (count != 0) std::memcpy(buffer, data_ + position_, count);
        position_ += count;
        if (read != nullptr) *read = count;
        return true;
    }

    bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                          uint32_t moveMethod) override {
        Require(file == kFile);
        int64_t base = 0;
        if (moveMethod == 1) base = static_cast<int64_t>(position_);
        if (moveMethod == 2) base = static_cast<int64_t>(size_);
        if (moveMethod > 2 || base + distance < 0) return Fail();
        position_ = static_cast<uint64_t>(base + distance);
        if (newPosition != nullptr) *newPosition = static_cast<int64_t>(position_);
        return true;
    }

    void RtlSecureZeroMemory(void* memory, std::size_t size) override {
        if (size != 0) std::memset(memory, 0, size);
        wipes_.push_back({static_cast<const uint8_t*>(memory), size});
    }

    bool SetDefaultDllDirectories(uint32_t) override { return Fail(); }
    bool SetDllDirectoryW(const WideChar*) override { return Fail(); }
    bool SetCurrentDirectoryW(const WideChar*) override { return Fail(); }
    const WideChar* GetCommandLineW() override { return u""; }
    WideChar** CommandLineToArgvW(const WideChar*, int*) override { return nullptr; }
    void* LocalFree(void* memory) override { return memory; }
    uint32_t GetModuleFileNameW(void*, WideChar*, uint32_t) override { return 0; }
    uint32_t GetFullPathNameW(const WideChar*, uint32_t, WideChar*, WideChar**) override {
        return 0;
    }
    uint32_t GetSystemDirectoryW(WideChar*, uint32_t) override { return 0; }
    uint32_t GetWindowsDirectoryW(WideChar*, uint32_t) override { return 0; }
    uint64_t GetTickCount64() override { return 0; }
    int CompareStringOrdinal(const WideChar*, int, const WideChar*, int, bool) override {
        return 0;
    }
    Handle GetStdHandle(uint32_t) override { return kInvalidHandle; }
    bool WriteFile(Handle, const void*, uint32_t, uint32_t*) override { return Fail(); }
    bool CloseHandle(Handle) override { return Fail(); }
    Handle CreateFileW(const WideChar*, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                       Handle) override {
        Fail();
        return kInvalidHandle;
    }
    bool GetFileInformationByHandle(Handle, FileInformation*) override { return Fail(); }
    uint32_t GetFileType(Handle) override { return 0; }
    Handle FindFirstFileW(const WideChar*, FindData*) override {
        Fail();
        return kInvalidHandle;
    }
    bool FindNextFileW(Handle, FindData*) override { return Fail(); }
    Handle FindFirstStreamW(const WideChar*, uint32_t, StreamData*, uint32_t) override {
        Fail();
        return kInvalidHandle;
    }
    bool FindNextStreamW(Handle, StreamData*) override { return Fail(); }
    bool FindClose(Handle) override { return Fail(); }
    bool FlushFileBuffers(Handle) override { return Fail(); }
    bool MoveFileExW(const WideChar*, const WideChar*, uint32_t) override { return Fail(); }
    bool CreateDirectoryW(const WideChar*, void*) override { return Fail(); }

    NtStatus BCryptOpenAlgorithmProvider(CngHandle*, const WideChar*, const WideChar*,
                                         uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptCloseAlgorithmProvider(CngHandle, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptGetProperty(CngHandle, const WideChar*, uint8_t*, uint32_t, uint32_t*,
                               uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptCreateHash(CngHandle, CngHandle*, uint8_t*, uint32_t, const uint8_t*, uint32_t,
                              uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptHashData(CngHandle, const uint8_t*, uint32_t, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptFinishHash(CngHandle, uint8_t*, uint32_t, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptDestroyHash(CngHandle) override { return kStatusNotSupported; }
    NtStatus BCryptImportKeyPair(CngHandle, CngHandle, const WideChar*, CngHandle*, const uint8_t*,
                                 uint32_t, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptVerifySignature(CngHandle, const WideChar*, const uint8_t*, uint32_t,
                                   const uint8_t*, uint32_t, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptDestroyKey(CngHandle) override { return kStatusNotSupported; }
    NtStatus BCryptSetProperty(CngHandle, const WideChar*, const uint8_t*, uint32_t,
                               uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptGenerateSymmetricKey(CngHandle, CngHandle*, uint8_t*, uint32_t, const uint8_t*,
                                        uint32_t, uint32_t) override {
        return kStatusNotSupported;
    }
    NtStatus BCryptDecrypt(CngHandle, const uint8_t*, uint32_t, const AuthenticatedCipherInfo*,
                           uint8_t*, uint32_t, uint8_t*, uint32_t, uint32_t*, uint32_t) override {
        return kStatusNotSupported;
    }
    int MessageBoxW(void*, const WideChar*, const WideChar*, uint32_t) override { return 0; }

  protected:
    bool Fail() {
        lastError_ = kErrorCallNotImplemented;
        return false;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    uint64_t position_ = 0;
    uint32_t lastError_ = 0;
    std::vector<Range> wipes_;
};

}  // namespace veltomarn::fuzzing
