#pragma once

// Memory that held a secret is overwritten with zeros before it is given back: on demand, on
// leaving a scope, and inside OpenSSL.

#include <cstdint>
#include <vector>

namespace veltomarn::release {

// Overwrites `bytes` with zeros in a way the compiler keeps.
void Wipe(std::vector<uint8_t>& bytes);

// From now on every block OpenSSL frees, or leaves behind when it grows one, is overwritten with
// zeros first: its key decoders free copies of a private key's DER unwiped. Works only before
// OpenSSL's first allocation; false after that, changing nothing.
bool InstallWipingOpensslAllocator();

// Wipes the bytes it guards when it goes away: on every way out of its scope, a throw included.
// It must not guard bytes that the scope returns.
class WipeOnExit {
  public:
    explicit WipeOnExit(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { Wipe(bytes_); }

  private:
    std::vector<uint8_t>& bytes_;
};

}  // namespace veltomarn::release
