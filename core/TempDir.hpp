#pragma once

#include <filesystem>
#include <string_view>

namespace Vandrel {

// A fresh directory below the system temporary directory (TMPDIR honoured),
// named prefix + 10 random characters of [a-z0-9]; removed with everything
// below it when the object goes away.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix);
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::filesystem::path const& path() const { return dirPath; }

  private:
    std::filesystem::path dirPath;
};

} // namespace Vandrel
