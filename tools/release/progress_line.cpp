#include "release/progress_line.h"

#include <algorithm>
#include <utility>

#include "release/tool_error.h"

namespace veltomarn::release {

ProgressLine::ProgressLine(std::ostream* out, std::string label, uint64_t totalBytes,
                           unsigned passes)
    : out_(totalBytes > kProgressThreshold ? out : nullptr),
      label_(std::move(label)),
      totalBytes_(totalBytes),
      passes_(passes) {}

ProgressLine::~ProgressLine() {
    if (shown_ >= 0) *out_ << "\n" << std::flush;
}

void ProgressLine::Advance(uint64_t bytes) {
    ThrowIfInterrupted();
    if (out_ == nullptr) return;
    done_ += bytes;
    const uint64_t work = done_ / passes_;
    const int percent = static_cast<int>(std::min<uint64_t>(work, totalBytes_) * 100 / totalBytes_);
    if (percent == shown_) return;
    shown_ = percent;
    *out_ << "\r" << label_ << ": " << percent << "% (" << work / 1048576 << " of "
          << totalBytes_ / 1048576 << " MiB)" << std::flush;
}

}  // namespace veltomarn::release
