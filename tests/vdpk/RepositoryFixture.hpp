#pragma once

#include "vdpk/PackageFetcher.hpp"

#include "tests/support/Errors.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vandrel::Linux::FetcherTests {

namespace fs = std::filesystem;

using Vandrel::Test::messageOf;

inline long countOf(std::vector<std::string> const& lines, std::string const& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

// A repository below www/repo served over HTTP on 127.0.0.1, and a cache in
// the sandbox.
class RepositoryFixture : public ::testing::Test {
  protected:
    Vandrel::Test::VdpkSandbox sandbox;
    fs::path www = sandbox.www();
    fs::path repo = sandbox.repo();
    Vandrel::Test::HttpServer* server = nullptr;

    void SetUp() override { startServer(); }

    void startServer(std::vector<std::string> extraArgs = {})
    {
        server = &sandbox.serve(std::move(extraArgs));
    }

    std::string repoUrl() const { return sandbox.repoUrl(); }

    PackageFetcher fetcher(std::string url = {}, fs::path cache = {}) const
    {
        PkgConfig config;
        config.pkgRepoUrl = url.empty() ? repoUrl() : url;
        config.pkgRepoCachePath = (cache.empty() ? sandbox.cacheDir() : cache).string();
        return PackageFetcher(config);
    }

    fs::path publish(std::string const& os, std::string const& name, std::string const& version) const
    {
        return sandbox.publish(os, name, version);
    }
};

} // namespace Vandrel::Linux::FetcherTests
