#pragma once

#include "core/FileDescriptor.hpp"

#include <filesystem>

namespace Vandrel {

// Changes the working directory for the guard's lifetime. restore() changes
// back and throws when it cannot, so a run never carries on in a directory
// that is about to be removed; the destructor restores on the other ways out
// (exceptions), where the failure is already being reported.
// The previous directory is held open, so it is found again even when its
// path has changed meanwhile.
class WorkingDirectoryGuard {
  public:
    explicit WorkingDirectoryGuard(std::filesystem::path const& directory);
    ~WorkingDirectoryGuard();
    WorkingDirectoryGuard(WorkingDirectoryGuard const&) = delete;
    WorkingDirectoryGuard& operator=(WorkingDirectoryGuard const&) = delete;

    void restore();

  private:
    std::filesystem::path previousPath;
    FileDescriptor previous;
    bool restored = false;
};

} // namespace Vandrel
