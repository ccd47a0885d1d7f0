#include "bootstrap/outcome.h"

#include <cstring>

#include "core/failure.h"

namespace veltomarn {
namespace {

struct CodeMessage {
    const char* code;
    const char16_t* text;
};

constexpr CodeMessage kMessages[] = {
    {"LAUNCHER_SESSION_ALREADY_OPEN",
     u"VELTO MARN Launcher is already open or is still finishing its previous session. Return to "
     u"that launcher, or wait for it to finish and try again. Your game files have not been "
     u"changed."},
    {"CACHE_SPACE",
     u"There is not enough free space on the Windows account's local application-data drive to "
     u"prepare the launcher session. Free some space and try again. Your game files have not "
     u"been changed."},
    {"CACHE_SPACE_QUERY",
     u"Windows could not check available space on the local application-data drive. Please "
     u"provide support with code CACHE_SPACE_QUERY. Your game files have not been changed."},
    {"CACHE_OWNER_MISMATCH",
     u"A previous private launcher session does not match this package. Its files have been "
     u"preserved. Please provide support with code CACHE_OWNER_MISMATCH before deleting or "
     u"replacing anything."},
    {"CACHE_LOCK_OPEN",
     u"Windows could not open the launcher's private session lock. Please provide support with "
     u"code CACHE_LOCK_OPEN. Keep your files and Windows security settings unchanged."},
};

constexpr const char16_t* kGeneralMessage =
    u"The protected launcher could not verify or prepare its private session. Keep the complete "
    u"official package together. Do not disable security software. Existing game files have not "
    u"been changed.";

constexpr char kFailurePrefix[] = "SECURITY_CHECK_FAILED: ";

// Writes raw bytes; used where building a std::string could itself throw.
void WriteBytes(Platform& platform, const char* data, std::size_t size, StandardStream stream) {
    const Handle handle = platform.GetStdHandle(
        stream == StandardStream::kError ? win::kStdErrorHandle : win::kStdOutputHandle);
    if (handle == nullptr || handle == kInvalidHandle) return;
    uint32_t written = 0;
    platform.WriteFile(handle, data, static_cast<uint32_t>(size), &written);
}

}  // namespace

void WriteStandardStream(Platform& platform, const std::string& text, StandardStream stream) {
    WriteBytes(platform, text.data(), text.size(), stream);
}

const char16_t* UserMessageForCode(const std::string& code) {
    for (const CodeMessage& entry : kMessages) {
        if (code == entry.code) return entry.text;
    }
    return kGeneralMessage;
}

void ReportFailure(Platform& platform, const char* what, bool interactive) noexcept {
    try {
        const std::string line = kFailurePrefix + std::string(what) + "\n";
        WriteStandardStream(platform, line, StandardStream::kError);
    } catch (...) {
        // Not even the line could be built (no memory): the exit code still tells.
    }
    // A player who cancelled chose it: no box tells them so.
    if (!interactive || std::strcmp(what, "USER_CANCELLED") == 0) return;
    try {
        platform.MessageBoxW(nullptr, UserMessageForCode(what), kMessageBoxCaption,
                             win::kMbOk | win::kMbIconError);
    } catch (...) {
    }
}

void ReportInternalError(Platform& platform) noexcept {
    static constexpr char kLine[] = "SECURITY_CHECK_FAILED: INTERNAL_ERROR\n";
    try {
        WriteBytes(platform, kLine, sizeof kLine - 1, StandardStream::kError);
    } catch (...) {
    }
}

}  // namespace veltomarn
