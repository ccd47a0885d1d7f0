#pragma once

// The operating-system locations the logic asks for.

#include <cstdint>
#include <functional>

#include "platform/file_system.h"
#include "platform/processes.h"

namespace veltomarn {

// Size, in UTF-16 code units, of the buffers for fixed-size location queries.
inline constexpr uint32_t kLocationBufferUnits = 32768;
// Largest accepted size of an absolute path, counting the terminating null.
inline constexpr uint32_t kMaxFullPathUnits = 31999;

// The answer of a location query that fills a buffer and returns the units written, as
// GetSystemDirectoryW and GetModuleFileNameW do: `query` is asked once with a buffer of
// kLocationBufferUnits. Throws `failureCode` when it returns 0 or an answer that fills the buffer
// (too long, or cut short).
WideString FixedLocation(const std::function<uint32_t(WideChar*, uint32_t)>& query,
                         const char* failureCode);

// The absolute, normalised form of `path`. Throws "FULL_PATH" when the answer needs more than
// 31,999 units (null included) or changes between the size query and the fill.
WideString FullPath(FileSystem& files, const WideString& path);

// Throws "SYSTEM_DIRECTORY".
WideString SystemDirectory(Processes& processes);

// Throws "WINDOWS_DIRECTORY".
WideString WindowsDirectory(Processes& processes);

}  // namespace veltomarn
