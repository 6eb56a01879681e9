#include "vd-build/PackageBuilder.hpp"

#include "core/FileDescriptor.hpp"
#include "core/InstallRoot.hpp"
#include "core/PackageManager.hpp"
#include "core/RepositoryIndex.hpp"
#include "core/ScopeGuard.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"
#include "core/VersionUtils.hpp"
#include "core/WorkingDirectoryGuard.hpp"
#include "vd-build/BuildSandbox.hpp"
#include "vd-build/RunInterrupt.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <string_view>
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

[[noreturn]] void throwError(char const* what, fs::path const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Sets an environment variable and returns the guard that puts back what was
// there before.
auto setEnvironmentVariableFor(char const* name, std::string const& value)
{
    std::optional<std::string> previous;
    if (char const* old = std::getenv(name))
        previous = old;
    if (::setenv(name, value.c_str(), 1) != 0)
        throw std::system_error(errno, std::generic_category(), std::string("setenv ") + name);
    return ScopeGuard([name, previous = std::move(previous)] {
        if (previous)
            ::setenv(name, previous->c_str(), 1);
        else
            ::unsetenv(name);
    });
}

} // namespace

PackageBuilder::PackageBuilder(PkgConfig const& pkgConfig, BuildConfig const& buildConfig)
    : pkgConfig(pkgConfig), buildConfig(buildConfig)
{
    this->pkgConfig.shareDir = absoluteSetting(this->pkgConfig.shareDir);
    this->buildConfig.workDir = absoluteSetting(this->buildConfig.workDir);
    this->buildConfig.packageSources = absoluteSetting(this->buildConfig.packageSources);
    this->buildConfig.packageRepo = absoluteSetting(this->buildConfig.packageRepo);
    // The builder changes directory into each package source: a relative key
    // path must not follow it.
    this->buildConfig.signingKey = absoluteSetting(this->buildConfig.signingKey);
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

void PackageBuilder::loadSigningKey()
{
    if (!buildConfig.signingKey.empty() && !signingKey)
        signingKey =
            std::make_shared<Signature::SecretKey const>(Signature::loadSecretKey(buildConfig.signingKey));
}

void PackageBuilder::checkSourceIdentity(Package const& package, fs::path const& directory)
{
    // A source reached through a link (a dependency of another os directory)
    // is the directory the link leads to.
    std::error_code ec;
    fs::path dir = fs::canonical(directory, ec);
    if (ec)
        dir = fs::absolute(directory).lexically_normal();
    fs::path const parent = (dir.has_filename() ? dir : dir.parent_path()).parent_path();
    if (parent.parent_path().filename() != "os")
        return;
    std::string const os = parent.filename().string();
    std::string const name = (dir.has_filename() ? dir : dir.parent_path()).filename().string();
    if (package.os != os || package.name != name)
        throw std::runtime_error(fmt::format("Package source '{}' declares os '{}' and name '{}', but its "
                                             "directory is for os '{}' and name '{}'",
                                             dir.string(), package.os, package.name, os, name));
}

void PackageBuilder::build(Package const& root)
{
    loadSigningKey();
    // A source is what its directory says: one that declared another name
    // would be published, and recorded as installed, in the place of another.
    checkSourceIdentity(root, fs::current_path());
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
        checkSourceIdentity(target.package, dir);
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

    RunInterrupt::throwIfInterrupted();
    WorkingDirectoryGuard inSourceDir(target.path);
    cleanBuildArtifacts(package);
    try {
        compile(package);
        createPackageFile(package);
        RunInterrupt::throwIfInterrupted();
        installPackageIntoBuildFs(package);
        RunInterrupt::throwIfInterrupted();
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
    fs::remove(packageFileName(package));
    // The build home holds whatever the last build script left there, links
    // in place of its directories among them: it is removed by descriptor,
    // entry by entry, never by a path that could lead onto the host.
    FileDescriptor const root(::open(buildConfig.workDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        if (errno == ENOENT)
            return;
        throw fs::filesystem_error("cannot open the build filesystem", buildConfig.workDir,
                                   std::error_code(errno, std::generic_category()));
    }
    removeTreeAt(root.get(), HardCfg::chrootBuildHome.string(), buildHome);
}

void PackageBuilder::compile(Package const& package)
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
    ShellConfig const config = createShellConfig(true);
    if (!findProgramOnPath("bwrap"))
        throw std::runtime_error("bwrap is not installed: builds run in its sandbox (package bubblewrap)");
    BuildSandbox::checkProc();
    ShellResult const result = [&] {
        try {
            Shell shell(command, config);
            return shell.result().get();
        } catch (std::runtime_error const& error) {
            // The runner has killed the sandbox, and with its first process
            // every process of the build.
            RunInterrupt::throwIfInterrupted();
            if (buildConfig.buildTimeout && std::string_view(error.what()) == "Shell command timed out")
                throw std::runtime_error(fmt::format("Build of package '{}' ran longer than its time limit "
                                                     "of {} s (buildTimeout) and was stopped",
                                                     package.name, buildConfig.buildTimeout->count()));
            throw;
        }
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
    InstallRoot const root(buildConfig.workDir, false);
    std::string const buildName = (HardCfg::chrootBuildHome / HardCfg::buildSubdir).string();
    if (root.exists()) {
        FileDescriptor const parent = root.open(HardCfg::chrootBuildHome.string(), O_PATH | O_DIRECTORY);
        if (parent)
            removeTreeAt(parent.get(), HardCfg::buildSubdir.string(), buildDir);
    }
    FileDescriptor const build = InstallRoot(buildConfig.workDir, true).makeDirectories(buildName);
    // The source tree is copied as it is: a link in it stays a link and is
    // never followed out of the package source directory, and src, build.sh
    // and package.yml must be a real directory and real files.
    FileDescriptor const here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!here)
        throwError("cannot open the package source directory", fs::current_path(), errno);
    FileDescriptor const source(::openat(here.get(), "src", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source)
        throwError("cannot open directory", fs::absolute("src"), errno);
    if (::mkdirat(build.get(), "src", 0755) != 0)
        throwError("cannot create directory", buildDir / "src", errno);
    FileDescriptor const target(
        ::openat(build.get(), "src", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target)
        throwError("cannot open directory", buildDir / "src", errno);
    copyTree(source.get(), fs::absolute("src"), target.get(), buildDir / "src");
    copyRegularFileAt(here.get(), "build.sh", fs::absolute("build.sh"), build.get(), "build.sh");
    struct stat script {};
    if (::fstatat(build.get(), "build.sh", &script, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fchmodat(build.get(), "build.sh", (script.st_mode & 07777) | S_IRUSR | S_IXUSR, 0) != 0)
        throwError("cannot set permissions", buildDir / "build.sh", errno);
    copyRegularFileAt(here.get(), "package.yml", fs::absolute("package.yml"), build.get(), "package.yml");
}

void PackageBuilder::copyFiles(fs::path const& from, fs::path const& to)
{
    copyTree(from, to);
}

void PackageBuilder::createPackageFile(Package const& package)
{
    std::cerr << "creating package file ..." << std::endl;
    std::cerr << "pwd ..." << fs::current_path() << std::endl;
    fs::create_directory(HardCfg::packageSubDir);
    fs::path const buildDist = buildHome / HardCfg::packageSubDir;
    std::cerr << "copy: " << buildDist << " -> " << HardCfg::packageSubDir << std::endl;
    // The dist directory is what the build script left: it is looked up as
    // inside the build filesystem, so a link planted for it or for the build
    // home resolves there and never pulls host files into the archive, and
    // it must be a directory itself, not a link to one.
    FileDescriptor const dist = InstallRoot(buildConfig.workDir, false)
                                    .open((HardCfg::chrootBuildHome / HardCfg::packageSubDir).string(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!dist)
        throwError("cannot open the dist directory of the build", buildDist, errno);
    FileDescriptor const here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    FileDescriptor const localDist(
        ::open(HardCfg::packageSubDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!here || !localDist)
        throwError("cannot open directory", fs::absolute(HardCfg::packageSubDir), errno);
    copyTree(dist.get(), buildDist, localDist.get(), fs::absolute(HardCfg::packageSubDir));
    // Replaces whatever the build left under that name, a link included,
    // instead of writing through it.
    copyRegularFileAt(here.get(), "package.yml", fs::absolute("package.yml"), localDist.get(), "package.yml");

    // "./": a name with a colon would otherwise be taken for host:file. The
    // manifest goes first, so reading it stops after the archive's first
    // block; the exclusion, placed after it, applies only to the walk of ".",
    // which stores every other member as before.
    std::string const command = fmt::format("tar -cjf {} -C {} ./package.yml --exclude=./package.yml .",
                                            shellQuote(localArchiveName(packageFileName(package))),
                                            shellQuote(HardCfg::packageSubDir.string()));
    RunInterrupt::sleepFor(packDelay);
    // Compression is most of the packing time. With lbzip2 installed, the
    // "bzip2" that tar starts for -j is lbzip2, which compresses on every
    // core and writes an ordinary bzip2 stream; the command stays the same.
    std::optional<TempDir> compressorDir;
    if (auto const lbzip2 = findProgramOnPath("lbzip2")) {
        compressorDir.emplace("vd-build-");
        fs::create_symlink(fs::absolute(*lbzip2), compressorDir->path() / "bzip2");
    }
    auto const pack = [&] {
        Shell shell(command, createShellConfig(false));
        return shell.result().get();
    };
    ShellResult const result = [&] {
        if (!compressorDir)
            return pack();
        char const* const path = std::getenv("PATH");
        auto const restorePath = setEnvironmentVariableFor("PATH", compressorDir->path().string() + ":" +
                                                                       (path != nullptr ? path : ""));
        return pack();
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
    // The archive is unpacked in the build filesystem's own temporary
    // directory when it has one: its files are then moved into place on the
    // same file system instead of being written a second time.
    fs::path const buildFsTemp = fs::path(buildConfig.workDir) / "tmp";
    std::error_code ec;
    if (fs::symlink_status(buildFsTemp, ec).type() != fs::file_type::directory)
        return manager.install(packageFileName(package));
    auto const restoreTemp = setEnvironmentVariableFor("TMPDIR", buildFsTemp.string());
    manager.install(packageFileName(package));
}

void PackageBuilder::deployPackageToRepo(Package const& package)
{
    fs::path const dir = fs::path(buildConfig.packageRepo) / package.os / package.name / package.version;
    fs::create_directories(dir);
    std::string const fileName = packageFileName(package);
    fs::copy_file(fileName, dir / fileName, fs::copy_options::overwrite_existing);
    fs::path const signature = dir / (fileName + ".minisig");
    loadSigningKey();
    if (signingKey)
        Signature::signFile(dir / fileName, signature, *signingKey);
    else
        // The signature of an archive this one replaced would not match it.
        fs::remove(signature);
    RepositoryIndexUpdate::addArchive(buildConfig.packageRepo, dir / fileName, package, signingKey.get());
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
