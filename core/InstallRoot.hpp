#pragma once

#include "core/FileDescriptor.hpp"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace Vandrel::Linux {

// The directory packages are installed into. Names below it are resolved as
// if it were "/", the way a chroot sees them: an absolute symlink target
// starts at the root and ".." stops there. So no symlink inside the tree,
// whether a package or anybody else planted it, can lead a change outside.
// The installer makes every change below the root through descriptors
// obtained here and through single-component operations (mkdirat, unlinkat,
// renameat, symlinkat) relative to them, which never follow a final symlink.
class InstallRoot {
  public:
    // Opens the root "/" or a prefix directory. With create a missing prefix
    // is created first; without it a missing prefix leaves exists() false.
    InstallRoot(std::string path, bool create);

    bool exists() const { return root.isOpen(); }
    // The absolute path of a name below the root, for messages.
    std::string pathOf(std::string_view name) const;

    // Opens a name below the root ("" or "." is the root itself) with the
    // flags of open(2), O_CLOEXEC added. On failure the descriptor is closed
    // and errno tells why.
    FileDescriptor open(std::string const& name, int flags, mode_t mode = 0) const;

    // The directory of that name as an O_PATH descriptor, created together
    // with missing ancestors. Throws the library's filesystem error.
    FileDescriptor makeDirectories(std::string const& name) const;

    // The directory holding name, created when missing, as a descriptor that
    // stays owned by this object; base receives the last component. The last
    // directory is kept open: files of one directory come in runs.
    int parentDirectory(std::string const& name, std::string& base);

    // The name below the root of what an open descriptor refers to now.
    std::string nameOf(int fd) const;

  private:
    std::string rootPath;
    FileDescriptor root;
    bool systemRoot;
    std::string cachedName;
    FileDescriptor cachedDirectory;
};

} // namespace Vandrel::Linux
