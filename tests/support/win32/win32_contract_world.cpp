// The contract world on the real Win32 platform: a fresh scratch directory under the user's
// temporary directory, set up with the Windows calls themselves and removed afterwards.

#include <windows.h>

#include <winioctl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "contract/contract_platform.h"
#include "platform/win32/win32_platform.h"

namespace veltomarn::testing {
namespace {

constexpr DWORD kSymbolicLinkDirectory = 0x1;
constexpr DWORD kSymbolicLinkAllowUnprivileged = 0x2;

std::wstring Wide(const WideString& text) {
    return std::wstring(text.begin(), text.end());
}

WideString Utf16(const std::wstring& text) {
    return WideString(text.begin(), text.end());
}

[[noreturn]] void SetUpFailed(const char* what) {
    throw std::runtime_error(std::string("contract world: ") + what + " failed with error " +
                             std::to_string(::GetLastError()));
}

bool IsWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes `path` and everything below it; links and junctions are removed, never followed.
void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (directory && !link) {
                RemoveTree(child);
            } else if (directory) {
                ::RemoveDirectoryW(child.c_str());
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

// The mount-point form of REPARSE_DATA_BUFFER: substitute name, then print name, both
// null-terminated.
struct MountPointReparseBuffer {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
    WCHAR paths[2 * MAX_PATH + 8];
};

class Win32ContractWorld final : public ContractWorld {
  public:
    Win32ContractWorld() {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        if (length == 0 || length > MAX_PATH) SetUpFailed("GetTempPathW");
        std::wstring base(temp, length);
        while (base.size() > 3 && base.back() == L'\\') base.pop_back();
        static int counter = 0;
        const std::wstring name = L"veltomarn-contract-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++counter);
        root_ = Utf16(base + L"\\" + name);
        if (root_.size() < 3 || root_[1] != u':' || root_[2] != u'\\') {
            throw std::runtime_error("contract world: the temporary directory is not on a drive");
        }
        RemoveTree(Long(u""));  // what a crashed run of the same process id left
        if (!::CreateDirectoryW(Long(u"").c_str(), nullptr)) SetUpFailed("CreateDirectoryW");
    }

    ~Win32ContractWorld() override {
        CloseElsewhere();
        RemoveTree(Long(u""));
    }

    Platform& platform() override { return platform_; }
    const WideString& root() const override { return root_; }
    bool RunsUnderWine() const override { return wine_; }

    void MakeDirectory(const WideString& relative) override {
        if (!::CreateDirectoryW(Long(relative).c_str(), nullptr)) SetUpFailed("CreateDirectoryW");
    }

    void MakeFile(const WideString& relative, const std::string& bytes) override {
        WriteNew(Long(relative), bytes);
    }

    void MakeHardLink(const WideString& relative, const WideString& existingRelative) override {
        if (!::CreateHardLinkW(Long(relative).c_str(), Long(existingRelative).c_str(), nullptr)) {
            SetUpFailed("CreateHardLinkW");
        }
    }

    bool MakeSymbolicLink(const WideString& relative, const WideString& targetRelative,
                          bool directory) override {
        const std::wstring link = Long(relative);
        const std::wstring target = Wide(Path(targetRelative));
        const DWORD kind = directory ? kSymbolicLinkDirectory : 0;
        if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                   kind | kSymbolicLinkAllowUnprivileged) &&
            !::CreateSymbolicLinkW(link.c_str(), target.c_str(), kind)) {
            return false;
        }
        // Wine reports success without making a link that shows as a reparse point.
        if (IsReparsePoint(link)) return true;
        RemoveName(link);
        return false;
    }

    bool MakeJunction(const WideString& relative, const WideString& targetRelative) override {
        const std::wstring junction = Long(relative);
        if (!::CreateDirectoryW(junction.c_str(), nullptr)) SetUpFailed("CreateDirectoryW");
        const std::wstring substitute = L"\\??\\" + Wide(Path(targetRelative));
        const std::wstring print = Wide(Path(targetRelative));
        MountPointReparseBuffer buffer{};
        if (substitute.size() + print.size() + 2 > sizeof buffer.paths / sizeof(WCHAR)) {
            throw std::runtime_error("contract world: junction target too long");
        }
        buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
        buffer.substituteOffset = 0;
        buffer.substituteLength = static_cast<WORD>(substitute.size() * sizeof(WCHAR));
        buffer.printOffset = static_cast<WORD>(buffer.substituteLength + sizeof(WCHAR));
        buffer.printLength = static_cast<WORD>(print.size() * sizeof(WCHAR));
        substitute.copy(buffer.paths, substitute.size());
        print.copy(buffer.paths + substitute.size() + 1, print.size());
        buffer.dataLength = static_cast<WORD>(
            4 * sizeof(WORD) + (substitute.size() + print.size() + 2) * sizeof(WCHAR));
        const DWORD size = 2 * sizeof(DWORD) + buffer.dataLength;

        const HANDLE directory =
            ::CreateFileW(junction.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        DWORD returned = 0;
        const bool set = directory != INVALID_HANDLE_VALUE &&
                         ::DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &buffer, size,
                                           nullptr, 0, &returned, nullptr);
        if (directory != INVALID_HANDLE_VALUE) ::CloseHandle(directory);
        if (set && IsReparsePoint(junction)) return true;
        ::RemoveDirectoryW(junction.c_str());
        return false;
    }

    bool MakeStream(const WideString& relative, const WideString& name,
                    const std::string& bytes) override {
        const std::wstring stream = Long(relative) + L":" + Wide(name);
        WriteNew(stream, bytes);
        // Wine accepts the open but enumerates no stream: take back what it made.
        const std::wstring listed = L":" + Wide(name) + L":$DATA";
        WIN32_FIND_STREAM_DATA found;
        bool shown = false;
        const HANDLE search =
            ::FindFirstStreamW(Long(relative).c_str(), FindStreamInfoStandard, &found, 0);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                shown = shown || listed == found.cStreamName;
            } while (::FindNextStreamW(search, &found));
            ::FindClose(search);
        }
        if (!shown) ::DeleteFileW(stream.c_str());
        return shown;
    }

    bool OpenElsewhere(const WideString& relative, uint32_t access, uint32_t share,
                       uint32_t* error) override {
        const HANDLE handle = ::CreateFileW(Long(relative).c_str(), access, share, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return Report(false, error);
        elsewhere_.push_back(handle);
        return Report(true, error);
    }

    void CloseElsewhere() override {
        for (const HANDLE handle : elsewhere_) ::CloseHandle(handle);
        elsewhere_.clear();
    }

    bool DeleteElsewhere(const WideString& relative, uint32_t* error) override {
        return Report(RemoveName(Long(relative)), error);
    }

    bool RenameElsewhere(const WideString& from, const WideString& to, uint32_t* error) override {
        return Report(::MoveFileExW(Long(from).c_str(), Long(to).c_str(), 0) != FALSE, error);
    }

  private:
    std::wstring Long(const WideString& relative) const {
        return L"\\\\?\\" + Wide(relative.empty() ? root_ : Path(relative));
    }

    static bool Report(bool ok, uint32_t* error) {
        *error = ok ? 0 : ::GetLastError();
        return ok;
    }

    // DeleteFileW for a file or file link, RemoveDirectoryW for a directory, directory link or
    // junction.
    static bool RemoveName(const std::wstring& path) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return (directory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str())) !=
               FALSE;
    }

    static void WriteNew(const std::wstring& path, const std::string& bytes) {
        const HANDLE file =
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) SetUpFailed("CreateFileW");
        DWORD written = 0;
        const BOOL ok =
            ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        if (!ok || written != bytes.size()) SetUpFailed("WriteFile");
    }

    Win32Platform platform_;
    WideString root_;
    const bool wine_ = IsWine();
    std::vector<HANDLE> elsewhere_;
};

}  // namespace

std::unique_ptr<Platform> MakeContractPlatform() {
    return std::make_unique<Win32Platform>();
}

std::unique_ptr<ContractWorld> MakeContractWorld() {
    return std::make_unique<Win32ContractWorld>();
}

}  // namespace veltomarn::testing
