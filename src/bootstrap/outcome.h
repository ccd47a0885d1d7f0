#pragma once

// How the bootstrap reports outcomes: one line on standard output for a completed run, one line
// on standard error (and, in the normal mode, a message box) for a failure.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veltomarn {

inline constexpr char16_t kMessageBoxCaption[] = u"VELTO MARN Launcher";

enum class StandardStream { kOutput, kError };

// Writes `text` to `stream` with one WriteFile call. A missing handle, a failed or a short write
// are ignored: reporting never fails the run.
void WriteStandardStream(Platform& platform, const std::string& text, StandardStream stream);

// The plain-language text shown to the player for a failure code (exact, case-sensitive match of
// the whole code; every other text gets the general message).
const char16_t* UserMessageForCode(const std::string& code);

// Reports a failure whose exception text is `what`: first the line
// "SECURITY_CHECK_FAILED: <what>\n" on standard error, then, when `interactive`, the message box.
// Never throws.
void ReportFailure(Platform& platform, const char* what, bool interactive) noexcept;

// Reports an exception that does not derive from the standard exception base: the fixed line
// "SECURITY_CHECK_FAILED: INTERNAL_ERROR\n", never a message box. Never throws.
void ReportInternalError(Platform& platform) noexcept;

}  // namespace veltomarn
