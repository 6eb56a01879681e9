#include "vd-build/PackageBuilder.hpp"

#include "core/PackageManager.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/VersionUtils.hpp"
#include "core/WorkingDirectoryGuard.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace HardCfg {
fs::path const chrootBuildHome = "pkg-build";
fs::path const buildSubdir = "build";
fs::path const packageSubDir = "dist";
} // namespace HardCfg

namespace {

std::string absoluteSetting(std::string const& value)
{
    return value.empty() ? value : fs::absolute(value).string();
}

// Manifest values become directory and file names in the source tree and the
// repository; each must stay one plain name so nothing lands outside them.
void requirePlainName(char const* what, std::string const& value)
{
    if (value.empty() || value == "." || value == ".." || value.find('/') != std::string::npos ||
        value.find('\0') != std::string::npos)
        throw std::runtime_error(fmt::format("Invalid package {}: '{}'", what, value));
}

void requirePlainNames(Package const& package)
{
    requirePlainName("os", package.os);
    requirePlainName("name", package.name);
    requirePlainName("version", package.version);
}

} // namespace

CopyFilesError::CopyFilesError(fs::path from, fs::path to, fs::path file, std::string const& reason)
    : std::runtime_error(fmt::format("copyFiles error:\nwas copying '{}' -> '{}'\nfail while copying file "
                                     "'{}'\nreason: {}",
                                     from.string(), to.string(), file.string(), reason)),
      from(std::move(from)), to(std::move(to)), file(std::move(file))
{
}

PackageBuilder::PackageBuilder(PkgConfig const& pkgConfig, BuildConfig const& buildConfig)
    : pkgConfig(pkgConfig), buildConfig(buildConfig)
{
    this->pkgConfig.shareDir = absoluteSetting(this->pkgConfig.shareDir);
    this->buildConfig.workDir = absoluteSetting(this->buildConfig.workDir);
    this->buildConfig.packageSources = absoluteSetting(this->buildConfig.packageSources);
    this->buildConfig.packageRepo = absoluteSetting(this->buildConfig.packageRepo);
    buildHome = fs::path(this->buildConfig.workDir) / HardCfg::chrootBuildHome;
    buildDir = buildHome / HardCfg::buildSubdir;
    toolBinDir = fs::path(this->pkgConfig.shareDir) / "vd-build" / "bin";
}

fs::path PackageBuilder::getBuildHomeDir() const
{
    return fs::path(buildConfig.workDir) / HardCfg::chrootBuildHome;
}

PkgConfig PackageBuilder::buildFsPkgConfig() const
{
    PkgConfig config = pkgConfig;
    config.database = buildConfig.pkgDatabasePath;
    return config;
}

void PackageBuilder::build(Package const& root)
{
    PackageManager manager(buildFsPkgConfig(), false);
    manager.setInstallPrefix(buildConfig.workDir);

    PackageTopologicalSorterConfig sorterConfig;
    sorterConfig.shouldSkip = [&manager](Package const& package, bool) {
        if (!manager.isInstall(package.name))
            return false;
        auto const installed = manager.installedVersion(package.name);
        return installed && VersionUtils::compareVersions(*installed, package.version) >= 0;
    };
    sorterConfig.resolveDependency = [this](PackageTopologicalSorterTarget const& dependent,
                                            std::string const& name) {
        requirePlainName("os", dependent.package.os);
        requirePlainName("dependency name", name);
        fs::path const dir = fs::path(buildConfig.packageSources) / "os" / dependent.package.os / name;
        if (!fs::exists(dir))
            throw std::runtime_error(fmt::format(
                "{}: dependency source directory does not exist for '{}' at '{}'", "E2", name, dir.string()));
        fs::path const manifest = dir / "package.yml";
        if (!fs::exists(manifest))
            throw std::runtime_error(fmt::format("{}: package.yml does not exist for dependency '{}' at '{}'",
                                                 "E3", name, manifest.string()));
        PackageTopologicalSorterTarget target;
        target.package.load(manifest.string());
        target.path = dir;
        return target;
    };

    auto const targets = PackageTopologicalSorter(sorterConfig).sort(root, fs::current_path());
    for (auto const& target : targets)
        buildSinglePackage(target);
}

void PackageBuilder::buildSinglePackage(PackageTopologicalSorterTarget const& target)
{
    Package const& package = target.package;
    std::string const key = PackageTopologicalSorter::packageKey(package);
    if (builtPackages.contains(key))
        return;
    requirePlainNames(package);

    WorkingDirectoryGuard inSourceDir(target.path);
    cleanBuildArtifacts(package);
    try {
        compile(package);
        createPackageFile(package);
        installPackageIntoBuildFs(package);
        deployPackageToRepo(package);
        if (!keepDist)
            cleanPackageDistDir();
    } catch (...) {
        printPackageBuildFailureReport(package.name);
        throw;
    }
    builtPackages.insert(key);
    inSourceDir.restore();
}

void PackageBuilder::cleanBuildArtifacts(Package const& package)
{
    fs::remove_all(HardCfg::packageSubDir);
    fs::remove_all(buildHome / HardCfg::packageSubDir);
    fs::remove(packageFileName(package));
    fs::remove_all(buildHome);
}

void PackageBuilder::compile(Package const&)
{
    std::cerr << "building..." << std::endl;
    auto const variables = createScriptVariables();
    setEnvironmentVariables(variables);
    std::cerr << "pwd1 : " << fs::current_path().string() << std::endl;
    prepareBuildDir();
    std::cerr << "pwd : " << fs::current_path().string() << std::endl;
    std::cerr << "buildDir : " << buildDir << std::endl;

    std::string const command =
        fmt::format("mkdir -p {} && cd {} && ../build.sh", variables.at(ScriptVariableNames::distDir),
                    variables.at(ScriptVariableNames::buildDir) + "/src");
    std::cerr << "cmd: " << command << std::endl;
    ShellResult const result = [&] {
        Shell shell(command, createShellConfig(true));
        return shell.result().get();
    }();
    std::cerr << result;
    if (result.exitCode != 0)
        throw std::runtime_error("Build failed");
}

std::map<std::string, std::string> PackageBuilder::createScriptVariables() const
{
    fs::path const home = fs::path("/") / HardCfg::chrootBuildHome;
    return {
        {ScriptVariableNames::buildDir, (home / HardCfg::buildSubdir).string()},
        {ScriptVariableNames::distDir, (home / HardCfg::packageSubDir / "files").string()},
    };
}

void PackageBuilder::setEnvironmentVariables(std::map<std::string, std::string> const& variables)
{
    for (auto const& [name, value] : variables) {
        if (::setenv(name.c_str(), value.c_str(), 1) != 0)
            throw std::system_error(errno, std::generic_category(), "setenv " + name);
    }
}

void PackageBuilder::prepareBuildDir() const
{
    fs::remove_all(buildDir);
    fs::create_directories(buildDir);
    copyFiles("src", buildDir / "src");
    fs::copy_file("build.sh", buildDir / "build.sh", fs::copy_options::overwrite_existing);
    fs::permissions(buildDir / "build.sh", fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::add);
    fs::copy_file("package.yml", buildDir / "package.yml", fs::copy_options::overwrite_existing);
}

void PackageBuilder::copyFiles(fs::path const& from, fs::path const& to)
{
    fs::create_directories(to);
    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
        fs::directory_entry const& entry = *it;
        try {
            fs::path const target = to / entry.path().lexically_relative(from);
            bool const isLink = entry.is_symlink();
            if (isLink) {
                fs::path const linkText = fs::read_symlink(entry.path());
                if (fs::exists(target) || fs::is_symlink(target))
                    fs::remove(target);
                fs::create_symlink(linkText, target);
            } else if (entry.is_directory()) {
                fs::create_directories(target);
            } else {
                fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
            }

            struct stat status {};
            if (::lstat(entry.path().c_str(), &status) != 0)
                throw fs::filesystem_error("lstat failed", entry.path(),
                                           std::error_code(errno, std::generic_category()));
            if (!isLink)
                fs::permissions(target, static_cast<fs::perms>(status.st_mode & 0xfff),
                                fs::perm_options::replace);
            (void)::lchown(target.c_str(), status.st_uid, status.st_gid);
        } catch (std::exception const& e) {
            throw CopyFilesError(from, to, fs::absolute(entry.path()), e.what());
        }
    }
}

void PackageBuilder::createPackageFile(Package const& package)
{
    std::cerr << "creating package file ..." << std::endl;
    std::cerr << "pwd ..." << fs::current_path() << std::endl;
    fs::create_directory(HardCfg::packageSubDir);
    fs::path const buildDist = buildHome / HardCfg::packageSubDir;
    std::cerr << "copy: " << buildDist << " -> " << HardCfg::packageSubDir << std::endl;
    copyFiles(buildDist, fs::current_path() / HardCfg::packageSubDir);
    fs::copy_file("package.yml", HardCfg::packageSubDir / "package.yml",
                  fs::copy_options::overwrite_existing);

    std::string const command = fmt::format("tar -cjf {} -C {} .", shellQuote(packageFileName(package)),
                                            shellQuote(HardCfg::packageSubDir.string()));
    std::this_thread::sleep_for(packDelay);
    ShellResult const result = [&] {
        Shell shell(command, createShellConfig(false));
        return shell.result().get();
    }();
    if (result.exitCode != 0)
        throw std::runtime_error("Package creation failed");
}

std::string PackageBuilder::packageFileName(Package const& package)
{
    return fmt::format("{}-{}-{}.vdpk.tar.bz2", package.name, package.version,
                       Package::archToString(package.arch));
}

void PackageBuilder::installPackageIntoBuildFs(Package const& package) const
{
    PackageManager manager(buildFsPkgConfig(), false);
    manager.setInstallPrefix(buildConfig.workDir);
    manager.install(packageFileName(package));
}

void PackageBuilder::deployPackageToRepo(Package const& package)
{
    fs::path const dir = fs::path(buildConfig.packageRepo) / package.os / package.name / package.version;
    fs::create_directories(dir);
    std::string const fileName = packageFileName(package);
    fs::copy_file(fileName, dir / fileName, fs::copy_options::overwrite_existing);
    fs::remove(fileName);
}

void PackageBuilder::cleanPackageDistDir() const
{
    fs::remove_all(HardCfg::packageSubDir);
}

void PackageBuilder::printPackageBuildFailureReport(std::string const& text)
{
    std::cerr << "Build report ["
              << "R2"
              << "]: "
              << "package build failed: " << text << std::endl;
}

} // namespace Vandrel::Linux
