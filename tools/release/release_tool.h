#pragma once

// The command line of `veltomarn-release`, the publisher's side of the signed distribution.

#include <ostream>
#include <string>
#include <vector>

namespace veltomarn::release {

// Runs one command. `arguments` excludes the program name. Results go to `out`, messages to
// `err`. Returns the exit status: 0 success, 1 a verification failure, 2 a usage or I/O error
// (including a package that `sign` refuses).
int RunReleaseTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace veltomarn::release
