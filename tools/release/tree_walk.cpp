#include "release/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/failure.h"
#include "core/relative_path.h"
#include "release/path_text.h"
#include "release/posix_files.h"

namespace veltomarn::release {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Names of directory `fd`, in byte order, without "." and "..".
std::vector<std::string> ListNames(int fd, const std::string& path) {
    const int listingFd = dup(fd);
    DIR* listing = listingFd < 0 ? nullptr : fdopendir(listingFd);
    if (listing == nullptr) {
        if (listingFd >= 0) close(listingFd);
        RefuseSystem("cannot list", path, errno);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int error = errno;
    closedir(listing);
    if (error != 0) RefuseSystem("cannot list", path, error);
    std::sort(names.begin(), names.end());
    return names;
}

// The shared rules; a problem is added for the first one `entry` breaks.
bool Acceptable(const WalkEntry& entry, Problems& problems) {
    const auto problem = [&](const std::string& why) {
        problems.Add(entry.relative, why);
        return false;
    };
    if (S_ISLNK(entry.status.st_mode)) {
        return problem("a symbolic link (the bootstrap opens nothing through a link)");
    }
    if (!entry.isDirectory() && !S_ISREG(entry.status.st_mode)) {
        return problem("neither a plain file nor a directory");
    }
    try {
        ValidateRelativePath(entry.relative);
    } catch (const Failure& failure) {
        return problem(std::string("a name the bootstrap refuses (") + failure.code() +
                       "): letters, digits, '-', '.', '_' only, no device names, no trailing "
                       "dot, at most 16 levels and 240 bytes");
    }
    if (!entry.isDirectory() && entry.status.st_nlink != 1) {
        return problem("has " + std::to_string(entry.status.st_nlink) +
                       " names (a hard link); the bootstrap admits files with one name only");
    }
    return true;
}

void Walk(const std::string& root, int fd, const std::string& directory, TreeVisitor& visitor,
          Problems& problems) {
    const std::vector<std::string> names = ListNames(fd, JoinPath(root, directory));
    if (!directory.empty() && names.empty()) {
        problems.Add(directory,
                     "an empty directory: no file implies it, so the bootstrap would not have "
                     "it; put a file in it or remove it");
    }
    for (const std::string& name : names) {
        WalkEntry entry;
        entry.directory = fd;
        entry.name = name;
        entry.relative = directory.empty() ? name : directory + "/" + name;
        if (fstatat(fd, name.c_str(), &entry.status, AT_SYMLINK_NOFOLLOW) != 0) {
            RefuseSystem("cannot inspect", JoinPath(root, entry.relative), errno);
        }
        if (visitor.Intercept(entry, problems) || !Acceptable(entry, problems) ||
            !visitor.Admit(entry, problems)) {
            continue;
        }
        if (!entry.isDirectory()) {
            visitor.File(entry);
            continue;
        }
        const Descriptor child(openat(fd, name.c_str(), kDirectoryFlags));
        if (child.get() < 0) RefuseSystem("cannot open", JoinPath(root, entry.relative), errno);
        Walk(root, child.get(), entry.relative, visitor, problems);
    }
}

}  // namespace

void WalkTree(const std::string& root, const std::string& what, TreeVisitor& visitor,
              Problems& problems) {
    const Descriptor fd(open(root.c_str(), kDirectoryFlags));
    if (fd.get() < 0) RefuseSystem("cannot open " + what, root, errno);
    Walk(root, fd.get(), "", visitor, problems);
}

}  // namespace veltomarn::release
