#pragma once

#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Test {

// A Sandbox laid out for vd-build: a configuration directory with pkg.yml and
// build.yml, a work directory (the build filesystem root), package sources
// and a repository directory, all below the sandbox root.
class BuildSandbox : public Sandbox {
  public:
    BuildSandbox();
    // Never deletes through a mount: anything still mounted below the root is
    // detached first, and a root that stays mounted is left in place.
    ~BuildSandbox();

    std::filesystem::path workDir() const { return root() / "wd"; }
    std::filesystem::path sources() const { return root() / "sources"; }
    std::filesystem::path repo() const { return root() / "repo"; }
    std::filesystem::path templateDir() const { return root() / "template"; }
    std::filesystem::path standInLog() const { return root() / "scripts.log"; }
    // Absolute: with the build filesystem as prefix it lies inside it.
    static std::string buildFsDatabase() { return "/var/lib/vdpk/packages.db"; }

    // Writes build.yml; empty arguments take the sandbox's own directories.
    void writeBuildConfig(std::string const& workDirText = {}, std::string const& templateText = {},
                          std::string const& sourcesText = {}) const;

    // Appends lines (each indented by two blanks) to the "buildFs" map of
    // the build.yml writeBuildConfig wrote.
    void addBuildConfigKeys(std::string const& lines) const;

    // A share directory whose four build filesystem commands only append
    // "NAME|ARG1|ARG2..." to standInLog(); the variable STANDIN_EXIT_<NAME> (dashes as
    // underscores) sets a command's exit status. The SQL files are the real ones.
    std::filesystem::path writeStandInShare() const;
    // The lines of standInLog(), in order.
    std::vector<std::string> standInCalls() const;

    // A package source directory below sources()/os/OS/NAME with package.yml,
    // build.sh and src/.
    std::filesystem::path writePackageSource(std::string const& name, std::string const& version,
                                             std::string const& buildScript,
                                             std::vector<std::string> const& depends = {},
                                             std::string const& os = "core") const;
};

// A minimal build template made once by scripts/make-build-template.sh and
// shared by every test (kept in the build tree; remade when the script changes).
std::filesystem::path sharedBuildTemplate();

// Runs the built vd-build.
RunResult runVdBuild(std::vector<std::string> const& args, RunOptions const& options = {});
// Runs the built vd-build in a private mount namespace, so that every mount it
// makes disappears with it, also when it crashes.
RunResult runVdBuildIsolated(std::vector<std::string> const& args, RunOptions const& options = {});

// Whether anything is mounted at or below dir in this process's namespace.
bool hasMountsBelow(std::filesystem::path const& dir);

} // namespace Vandrel::Test
