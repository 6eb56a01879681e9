#include "vd-build/PackageBuilder.hpp"

#include "core/FileDescriptor.hpp"
#include "core/PackageManager.hpp"
#include "core/ScopeGuard.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"
#include "core/VersionUtils.hpp"
#include "core/WorkingDirectoryGuard.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <string_view>
#include <sys/sendfile.h>
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

[[noreturn]] void throwSystemError(char const* what, fs::path const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Copies all bytes of one open regular file into another: in the kernel where
// the file systems allow it, else through sendfile, else by reads and writes.
void copyContents(int in, int out, fs::path const& target)
{
    bool rangeCopy = true;
    bool sendFile = true;
    while (true) {
        ssize_t copied = -1;
        if (rangeCopy) {
            copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (copied < 0 && errno != EINTR) {
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                    errno != EPERM)
                    throwSystemError("cannot copy file", target, errno);
                rangeCopy = false;
                continue;
            }
        } else if (sendFile) {
            copied = ::sendfile(out, in, nullptr, 1 << 30);
            if (copied < 0 && errno != EINTR) {
                if (errno != EINVAL && errno != ENOSYS)
                    throwSystemError("cannot copy file", target, errno);
                sendFile = false;
                continue;
            }
        } else {
            char buffer[64 * 1024];
            copied = ::read(in, buffer, sizeof buffer);
            for (ssize_t written = 0; copied > 0 && written < copied;) {
                ssize_t const w = ::write(out, buffer + written, static_cast<size_t>(copied - written));
                if (w < 0 && errno != EINTR)
                    throwSystemError("cannot copy file", target, errno);
                written += w > 0 ? w : 0;
            }
            if (copied < 0 && errno != EINTR)
                throwSystemError("cannot copy file", target, errno);
        }
        if (copied == 0)
            return;
    }
}

// One copyFiles run: both roots for the error message, and the walk over
// open directories, so that every entry is reached by its own name below a
// directory descriptor rather than by resolving its whole path again.
class TreeCopy {
  public:
    TreeCopy(fs::path const& from, fs::path const& to) : from(from), to(to) {}

    void run()
    {
        fs::create_directories(to);
        FileDescriptor source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!source)
            throwSystemError("cannot open directory", from, errno);
        FileDescriptor target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!target)
            throwSystemError("cannot open directory", to, errno);
        copyDirectory(std::move(source), target.get(), from);
    }

  private:
    // Copies the entries of the open source directory sourcePath, each
    // directory before its contents; symbolic links are never followed.
    void copyDirectory(FileDescriptor source, int target, fs::path const& sourcePath)
    {
        int const sourceFd = source.get();
        DIR* const stream = ::fdopendir(sourceFd);
        if (stream == nullptr)
            throwSystemError("cannot open directory", sourcePath, errno);
        source.release(); // the stream owns it now
        ScopeGuard const closeStream([stream] { ::closedir(stream); });
        while (true) {
            errno = 0;
            dirent const* const entry = ::readdir(stream);
            if (entry == nullptr) {
                if (errno != 0)
                    throwSystemError("cannot read directory", sourcePath, errno);
                return;
            }
            std::string_view const name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            FileDescriptor childTarget;
            try {
                childTarget = copyEntry(sourceFd, target, entry->d_name, sourcePath);
            } catch (std::exception const& e) {
                throw CopyFilesError(from, to, fs::absolute(sourcePath / name), e.what());
            }
            if (!childTarget)
                continue;
            FileDescriptor childSource(
                ::openat(sourceFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!childSource)
                throwSystemError("cannot open directory", sourcePath / name, errno);
            copyDirectory(std::move(childSource), childTarget.get(), sourcePath / name);
        }
    }

    // Copies one entry; returns the open target directory when the entry is
    // a directory whose contents follow.
    static FileDescriptor copyEntry(int sourceDir, int targetDir, char const* name,
                                    fs::path const& sourcePath)
    {
        // The entry's own metadata: owner, mode and, where the listing does
        // not tell, its kind.
        struct stat status {};
        if (::fstatat(sourceDir, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            throwSystemError("lstat failed", sourcePath / name, errno);
        if (S_ISLNK(status.st_mode)) {
            copySymlink(sourceDir, targetDir, name, status, sourcePath);
            return {};
        }
        if (S_ISDIR(status.st_mode))
            return copyDirectoryEntry(targetDir, name, status, sourcePath);
        copyFile(sourceDir, targetDir, name, status, sourcePath);
        return {};
    }

    static void copySymlink(int sourceDir, int targetDir, char const* name, struct stat const& status,
                            fs::path const& sourcePath)
    {
        std::string linkText(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
        while (true) {
            ssize_t const length = ::readlinkat(sourceDir, name, linkText.data(), linkText.size());
            if (length < 0)
                throwSystemError("cannot read symlink", sourcePath / name, errno);
            if (static_cast<size_t>(length) < linkText.size()) {
                linkText.resize(static_cast<size_t>(length));
                break;
            }
            linkText.resize(linkText.size() * 2);
        }
        // Whatever is at the target goes, a dangling link included; a
        // directory only when it is empty.
        struct stat existing {};
        if (::fstatat(targetDir, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
            ::unlinkat(targetDir, name, S_ISDIR(existing.st_mode) ? AT_REMOVEDIR : 0) != 0)
            throwSystemError("cannot remove", sourcePath / name, errno);
        if (::symlinkat(linkText.c_str(), targetDir, name) != 0)
            throwSystemError("cannot create symlink", sourcePath / name, errno);
        (void)::fchownat(targetDir, name, status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW);
    }

    static FileDescriptor copyDirectoryEntry(int targetDir, char const* name, struct stat const& status,
                                             fs::path const& sourcePath)
    {
        if (::mkdirat(targetDir, name, 0777) != 0 && errno != EEXIST)
            throwSystemError("cannot create directory", sourcePath / name, errno);
        // An existing directory is used as it is, also through a link to one.
        FileDescriptor directory(::openat(targetDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory)
            throwSystemError("cannot create directory", sourcePath / name, errno);
        setOwnerAndMode(directory.get(), status, sourcePath / name);
        return directory;
    }

    static void copyFile(int sourceDir, int targetDir, char const* name, struct stat const& status,
                         fs::path const& sourcePath)
    {
        // Only regular files are copied: a FIFO would block the copy, and a
        // device would be read.
        if (!S_ISREG(status.st_mode))
            throwSystemError("cannot copy file", sourcePath / name, ENOTSUP);
        FileDescriptor in(::openat(sourceDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!in)
            throwSystemError("cannot copy file", sourcePath / name, errno);
        FileDescriptor out(
            ::openat(targetDir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!out)
            throwSystemError("cannot copy file", sourcePath / name, errno);
        struct stat written {};
        if (::fstat(out.get(), &written) != 0)
            throwSystemError("cannot copy file", sourcePath / name, errno);
        if (!S_ISREG(written.st_mode))
            throwSystemError("cannot copy file", sourcePath / name, ENOTSUP);
        copyContents(in.get(), out.get(), sourcePath / name);
        setOwnerAndMode(out.get(), status, sourcePath / name);
        if (::close(out.release()) != 0)
            throwSystemError("cannot copy file", sourcePath / name, errno);
    }

    // Owner before mode: a change of owner clears the set-user-ID and
    // set-group-ID bits of a file, even for root, so the other order would
    // lose them. A failure to change the owner is ignored.
    static void setOwnerAndMode(int fd, struct stat const& status, fs::path const& entryPath)
    {
        (void)::fchown(fd, status.st_uid, status.st_gid);
        if (::fchmod(fd, status.st_mode & 0xfff) != 0)
            throwSystemError("cannot set permissions", entryPath, errno);
    }

    fs::path const& from;
    fs::path const& to;
};

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

void PackageBuilder::build(Package const& root)
{
    loadSigningKey();
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
    TreeCopy(from, to).run();
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
