#include "vd-build/PkgBuildCli.hpp"

#include "core/RepositoryIndex.hpp"
#include "core/Signature.hpp"
#include "vd-build/PackageBuilder.hpp"
#include "vd-build/UsageText.hpp"

// argh asserts that no argument is empty; an empty argument is an ordinary
// (ignored) positional here, and the library copes with it once the assertion
// is out of the way. Only this file includes it, so the assertions of every
// other file stay as they are.
#pragma push_macro("NDEBUG")
#ifndef NDEBUG
#define NDEBUG
#endif
#include <argh.h>
#pragma pop_macro("NDEBUG")

#include <fmt/format.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The text lives in usage.txt beside this file, which the tests read too.
using Generated::usageText;

} // namespace

PkgBuildCli::PkgBuildCli() : parser(std::make_unique<argh::parser>()) {}

PkgBuildCli::~PkgBuildCli() = default;

int PkgBuildCli::run(int argc, char const* const* argv)
{
    try {
        parseArgs(argc, argv);
        if (helpRequested()) {
            printHelp();
            return 0;
        }
        if ((*parser)["--index-repository"]) {
            indexRepository();
            return 0;
        }
        loadConfigs();
        dispatch();
    } catch (std::exception const& e) {
        std::cerr << "Error: " << e.what() << std::endl;
        std::cerr << "Use --help for help." << std::endl;
        return 1;
    }
    return 0;
}

void PkgBuildCli::parseArgs(int argc, char const* const* argv)
{
    *parser = argh::parser();
    parser->add_params({"--config", "-c"});
    parser->parse(argc, argv);
}

bool PkgBuildCli::helpRequested() const
{
    return (*parser)["--help"];
}

void PkgBuildCli::printHelp() const
{
    std::cout << usageText << std::flush;
}

std::string PkgBuildCli::resolveConfigPath() const
{
    if ((*parser)[{"--config", "-c"}])
        throw std::runtime_error(fmt::format("{}: option '--config' requires a value", "E1"));
    auto const& params = parser->params();
    for (char const* name : {"config", "c"}) {
        if (auto it = params.find(name); it != params.end())
            return it->second;
    }
    if (char const* env = std::getenv("VDPK_CONFIG"); env != nullptr && *env != '\0')
        return env;
    return "config";
}

void PkgBuildCli::loadConfigs()
{
    std::string const dir = resolveConfigPath();
    pkgConfig.loadConfig(dir);
    buildConfig = BuildConfig::load(dir);
}

void PkgBuildCli::dispatch()
{
    std::string const configDir = resolveConfigPath();
    // Every action works on the build filesystem, so every action holds it.
    FileLock const runLock = acquireRunLock();

    if ((*parser)["--mount-build-fs"]) {
        PackageBuilder builder(pkgConfig, buildConfig);
        builder.mountBuildFs(configDir);
        return;
    }
    if ((*parser)["--unmount-build-fs"]) {
        PackageBuilder builder(pkgConfig, buildConfig);
        builder.unmountBuildFs(configDir);
        return;
    }
    if ((*parser)["--build-all"]) {
        buildAll();
        return;
    }
    buildSingle();
}

void PkgBuildCli::indexRepository()
{
    // A host that only serves the repository has neither pkg.yml nor a
    // build filesystem: the repository's own lock is the only one taken.
    BuildConfig const repository = BuildConfig::loadRepository(resolveConfigPath());
    fs::path const root = fs::absolute(repository.packageRepo);
    std::optional<Signature::SecretKey> key;
    if (!repository.signingKey.empty())
        key = Signature::loadSecretKey(fs::absolute(repository.signingKey));
    RepositoryIndex const index = RepositoryIndexUpdate::rebuild(root, key ? &*key : nullptr);
    std::cerr << fmt::format("Indexed {} package(s) in '{}'{}", index.entries.size(), root.string(),
                             key ? ", signed" : "")
              << std::endl;
}

bool PkgBuildCli::keepBuildFsRequested() const
{
    return (*parser)["--keep-build-fs"] || existingBuildFsRequested();
}

bool PkgBuildCli::keepDistRequested() const
{
    return (*parser)["--keep-dist"];
}

bool PkgBuildCli::existingBuildFsRequested() const
{
    return (*parser)["--existing-build-fs"];
}

bool PkgBuildCli::shouldTearDownBuildFs() const
{
    return !keepBuildFsRequested();
}

fs::path PkgBuildCli::lockFilePath(std::string const& workDir)
{
    fs::path root = fs::absolute(workDir).lexically_normal();
    if (!root.has_filename() && root.has_parent_path() && root != root.root_path())
        root = root.parent_path();
    root += ".lock";
    return root;
}

FileLock PkgBuildCli::acquireRunLock() const
{
    std::string const workDir = validateWorkDir(buildConfig.workDir);
    fs::path const lockPath = lockFilePath(workDir);
    fs::create_directories(lockPath.parent_path());
    FileLock lock = FileLock::tryAcquire(lockPath.string());
    if (!lock)
        throw std::runtime_error(
            fmt::format("Another vd-build run is using the build filesystem '{}' (lock file '{}')", workDir,
                        lockPath.string()));
    return lock;
}

} // namespace Vandrel::Linux
