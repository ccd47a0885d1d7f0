#pragma once

// The line that shows how far long work has got, rewritten in place on the terminal.

#include <cstdint>
#include <ostream>
#include <string>

namespace veltomarn::release {

// Work smaller than this shows no progress.
inline constexpr uint64_t kProgressThreshold = 8 * 1048576;

// "LABEL: 42% (120 of 286 MiB)" on `out` (null: nowhere), rewritten in place as the work goes
// on, for `totalBytes` of work over kProgressThreshold. Each step is also where SIGINT or SIGTERM
// ends the run (ThrowIfInterrupted).
class ProgressLine {
  public:
    // Every byte of `totalBytes` is worked on `passes` times (hashed, then sealed, say).
    ProgressLine(std::ostream* out, std::string label, uint64_t totalBytes, unsigned passes = 1);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine();
    void Advance(uint64_t bytes);

  private:
    std::ostream* const out_;
    const std::string label_;
    const uint64_t totalBytes_;
    const unsigned passes_;
    uint64_t done_ = 0;
    int shown_ = -1;
};

}  // namespace veltomarn::release
