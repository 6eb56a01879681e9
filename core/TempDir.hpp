#pragma once

#include <filesystem>
#include <string_view>

namespace Vandrel {

// A fresh directory below the system temporary directory (TMPDIR honoured),
// named prefix + 10 random characters of [a-z0-9]; removed with everything
// below it when the object goes away. While the object lives it holds an
// exclusive flock on the directory, which the kernel drops when the process
// dies: a directory of that name whose lock is free was left by a killed run.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix);
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::filesystem::path const& path() const { return dirPath; }

    // Removes the directories of this prefix that killed runs left below the
    // system temporary directory; returns how many.
    static int removeAbandoned(std::string_view prefix);

  private:
    std::filesystem::path dirPath;
    int lockFd = -1;
};

} // namespace Vandrel
