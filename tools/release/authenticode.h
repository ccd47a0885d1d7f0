#pragma once

// Whether a Windows executable carries an Authenticode signature.

#include <string>

namespace veltomarn::release {

// Whether the file at `path` is a PE image (PE32 or PE32+) whose certificate table (optional
// header data directory 4, IMAGE_DIRECTORY_ENTRY_SECURITY) is non-empty, lies within the file and
// starts with a WIN_CERTIFICATE of PKCS #7 signed data. The file is untrusted: every field is
// read at a bounds-checked offset, and a file that cannot be read, is no PE image or lies about
// its layout carries none. Never throws.
bool CarriesAuthenticodeSignature(const std::string& path);

}  // namespace veltomarn::release
