#pragma once

#include <filesystem>
#include <string>

namespace Vandrel::Test {

// A private scratch directory for one test, removed with everything below it
// when the test ends. It holds a configuration directory ("etc"), an install
// prefix ("prefix"), a download cache ("cache") and a database path ("db"),
// so nothing a test does reaches the host's own directories.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(Sandbox const&) = delete;
    Sandbox& operator=(Sandbox const&) = delete;

    std::filesystem::path const& root() const { return rootDir; }
    std::filesystem::path configDir() const { return rootDir / "etc"; }
    std::filesystem::path prefix() const { return rootDir / "prefix"; }
    std::filesystem::path cacheDir() const { return rootDir / "cache"; }
    // Absolute database path; under --prefix it is relocated below the prefix.
    std::filesystem::path databasePath() const { return rootDir / "db" / "packages.db"; }

    // Writes configDir()/pkg.yml with the four settings. Empty arguments take
    // the sandbox defaults (databasePath(), the repository's share/, an
    // unreachable loopback URL, cacheDir()).
    void writePkgConfig(std::string const& repoUrl = {}, std::string const& database = {},
                        std::string const& shareDirText = {}, std::string const& cache = {}) const;

    // Writes a file below root(), creating its parent directories.
    std::filesystem::path writeFile(std::filesystem::path const& relative, std::string const& content) const;

  private:
    std::filesystem::path rootDir;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string readFile(std::filesystem::path const& path);

// Double-quoted YAML scalar holding the text verbatim.
std::string yamlQuote(std::string const& text);

} // namespace Vandrel::Test
