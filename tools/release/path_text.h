#pragma once

// Paths as text: joined from a directory and a name, and shown in messages.

#include <string>

namespace veltomarn::release {

// `path` as it appears in messages: bytes outside printable ASCII as \xNN.
std::string ShowPath(const std::string& path);

// `directory` + '/' + `name` (no doubled separator after "/").
std::string JoinPath(const std::string& directory, const std::string& name);

}  // namespace veltomarn::release
