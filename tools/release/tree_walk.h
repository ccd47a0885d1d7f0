#pragma once

// The one walk of a directory tree on the publisher's machine: through directory descriptors,
// never following a link, with the rules every directory the tool packs or seals must meet.

#include <sys/stat.h>

#include <string>

#include "release/tool_error.h"

namespace veltomarn::release {

// One entry as the walk found it; valid during the visitor's call only.
struct WalkEntry {
    int directory = -1;     // the walked directory that holds it
    std::string name;       // its name there
    std::string relative;   // its path below the root, '/'-separated
    struct stat status {};  // of the entry itself, never of a link's target
    bool top() const { return relative == name; }
    bool isDirectory() const { return S_ISDIR(status.st_mode); }
};

class TreeVisitor {
  public:
    // Before the shared rules: true when the visitor has dealt with the entry itself (taken it,
    // or added a problem), so the walk passes on to the next.
    virtual bool Intercept(const WalkEntry&, Problems&) { return false; }
    // After the shared rules: true to take the entry in. A directory taken in is walked next.
    virtual bool Admit(const WalkEntry&, Problems&) { return true; }
    // A plain file with one name, admitted.
    virtual void File(const WalkEntry&) = 0;

  protected:
    ~TreeVisitor() = default;
};

// Walks the directory `root` (absolute, no link in it; `what` names it when it cannot be opened)
// in byte order of the names, depth first, and adds to `problems` every entry that breaks a
// shared rule: a symbolic link; anything but a plain file or a directory; a name outside the
// relative path rules; a file with more than one name (hard link); an empty directory below the
// root (only files are listed and sealed, so the bootstrap would never have it). Throws
// ToolError (2) when a directory cannot be opened or listed or an entry inspected.
void WalkTree(const std::string& root, const std::string& what, TreeVisitor& visitor,
              Problems& problems);

}  // namespace veltomarn::release
