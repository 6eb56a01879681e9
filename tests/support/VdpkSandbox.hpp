#pragma once

#include "tests/support/Archive.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vandrel::Test {

// A Sandbox laid out for running the built vdpk: pkg.yml in configDir(), a
// TMPDIR of its own, and a package repository below www/repo that serve()
// publishes on 127.0.0.1.
class VdpkSandbox : public Sandbox {
  public:
    VdpkSandbox();

    std::filesystem::path www() const { return root() / "www"; }
    std::filesystem::path repo() const { return www() / "repo"; }
    std::filesystem::path tmpDir() const { return root() / "tmp"; }

    // Publishes a package into repo()/OS/NAME/VERSION whose one file
    // usr/share/NAME/VERSION holds "VERSION\n"; returns the archive.
    std::filesystem::path publish(std::string const& os, std::string const& name, std::string const& version,
                                  std::vector<std::string> const& depends = {}) const;
    std::filesystem::path publish(std::string const& os, PackageSpec const& spec) const;

    // Starts (or restarts) the server on www() and points pkg.yml at repoUrl().
    HttpServer& serve(std::vector<std::string> extraArgs = {});
    HttpServer& server() const { return *httpServer; }
    // The repository's URL once served.
    std::string repoUrl() const { return httpServer->url() + "/repo"; }

    // Runs the built vdpk with --config configDir() and --prefix (prefix()
    // unless given), TMPDIR inside the sandbox and the sandbox as working
    // directory.
    RunResult vdpk(std::vector<std::string> args, std::optional<std::string> input = std::nullopt,
                   std::filesystem::path const& installPrefix = {}) const;
    // The same with more of the run set: the environment (TMPDIR stays the
    // sandbox's unless given) and the working directory (the sandbox's unless
    // given).
    RunResult vdpkWith(std::vector<std::string> args, RunOptions options,
                       std::filesystem::path const& installPrefix = {}) const;

    // Runs the built "vd-build --index-repository" on repo() with a build.yml
    // that holds only packageRepo (and signingKey, when given).
    RunResult indexRepository(std::filesystem::path const& signingKey = {}) const;

    // The content of usr/share/NAME/VERSION below the prefix: the installed
    // version of a published package ("" when absent).
    std::string installedVersion(std::string const& name,
                                 std::filesystem::path const& installPrefix = {}) const;

  private:
    std::unique_ptr<HttpServer> httpServer;
};

} // namespace Vandrel::Test
