#pragma once

// The one exception type of the bootstrap. It carries a failure code and nothing else: an
// upper-case ASCII word naming the check that failed ("PAYLOAD_MAGIC"). No path, error number or
// message ever travels with it. Codes are literals at the throw sites.

#include <stdexcept>

namespace veltomarn {

class Failure : public std::runtime_error {
  public:
    explicit Failure(const char* code) : std::runtime_error(code) {}
    const char* code() const noexcept { return what(); }
};

// Throws `Failure` with `code`.
[[noreturn]] inline void fail(const char* code) {
    throw Failure(code);
}

// Throws `Failure` with `code` unless `ok`.
inline void check(bool ok, const char* code) {
    if (!ok) fail(code);
}

}  // namespace veltomarn
