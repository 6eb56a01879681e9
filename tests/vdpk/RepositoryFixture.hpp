#pragma once

#include "vdpk/PackageFetcher.hpp"

#include "tests/support/Archive.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Sandbox.hpp"

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

inline std::string errorOf(std::function<void()> const& action)
{
    try {
        action();
    } catch (std::exception const& e) {
        return e.what();
    }
    return "<no error>";
}

inline long countOf(std::vector<std::string> const& lines, std::string const& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

// A repository below www/repo served over HTTP on 127.0.0.1, and a cache in
// the sandbox.
class RepositoryFixture : public ::testing::Test {
  protected:
    Vandrel::Test::Sandbox sandbox;
    fs::path www = sandbox.root() / "www";
    fs::path repo = www / "repo";
    std::unique_ptr<Vandrel::Test::HttpServer> server;

    void SetUp() override
    {
        fs::create_directories(repo);
        startServer();
    }

    void startServer(std::vector<std::string> extraArgs = {})
    {
        server.reset();
        server = std::make_unique<Vandrel::Test::HttpServer>(www, std::move(extraArgs));
    }

    std::string repoUrl() const { return server->url() + "/repo"; }

    PackageFetcher fetcher(std::string url = {}, fs::path cache = {}) const
    {
        PkgConfig config;
        config.pkgRepoUrl = url.empty() ? repoUrl() : url;
        config.pkgRepoCachePath = (cache.empty() ? sandbox.cacheDir() : cache).string();
        return PackageFetcher(config);
    }

    fs::path publish(std::string const& os, std::string const& name, std::string const& version)
    {
        Vandrel::Test::PackageSpec spec;
        spec.name = name;
        spec.version = version;
        spec.files["usr/share/" + name + "/VERSION"] = version;
        return Vandrel::Test::publishPackage(repo, os, spec);
    }
};

} // namespace Vandrel::Linux::FetcherTests
