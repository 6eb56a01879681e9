#include "core/PackageManager.hpp"

#include "core/Shell.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The entry's path below filesDir, lexically; empty for filesDir itself and
// for anything outside it. The walk builds every path by appending to the
// unpack directory, so a plain prefix test covers the common case.
std::string packagePathOf(fs::path const& entryPath, fs::path const& filesDir)
{
    std::string const& full = entryPath.native();
    std::string const& base = filesDir.native();
    if (full.size() > base.size() + 1 && full.compare(0, base.size(), base) == 0 && full[base.size()] == '/')
        return full.substr(base.size() + 1);

    fs::path const relative = entryPath.lexically_relative(filesDir);
    if (relative.empty() || relative == "." || *relative.begin() == "..")
        return {};
    return relative.string();
}

} // namespace

namespace InstallPaths {

fs::path destination(std::optional<std::string> const& prefix, fs::path const& path)
{
    return fs::path(prefix ? *prefix : std::string("/")) / path;
}

} // namespace InstallPaths

std::string PackageManager::destinationPath(fs::path const& packagePath) const
{
    return InstallPaths::destination(installPrefix, packagePath).string();
}

std::vector<std::string> PackageManager::copyFiles(fs::path unpackDir) const
{
    std::vector<std::string> installedPaths;
    installedPaths.reserve(1024);
    fs::path const filesDir = unpackDir / "files";

    // Collect first and copy afterwards, directories first: every directory is
    // in place (with its mode and owner) before any file lands in it.
    std::vector<fs::directory_entry> directories;
    std::vector<fs::directory_entry> others;
    for (fs::directory_entry const& entry : fs::recursive_directory_iterator(unpackDir)) {
        if (packagePathOf(entry.path(), filesDir).empty())
            continue;
        if (entry.is_directory())
            directories.push_back(entry);
        else
            others.push_back(entry);
    }

    for (auto const& entry : directories)
        copyEntry(entry, filesDir, installedPaths);
    for (auto const& entry : others)
        copyEntry(entry, filesDir, installedPaths);
    return installedPaths;
}

void PackageManager::copyEntry(fs::directory_entry const& entry, fs::path const& filesDir,
                               std::vector<std::string>& installedPaths) const
{
    std::string const packagePath = packagePathOf(entry.path(), filesDir);
    std::string const destination = destinationPath(packagePath);
    fs::path const destinationFs(destination);
    fs::path const parent = destinationFs.parent_path();
    std::error_code ec;

    if (entry.is_directory()) {
        fs::file_status const status = fs::status(destinationFs, ec);
        if (fs::exists(status) && !fs::is_directory(status))
            throw std::runtime_error(
                fmt::format("Cannot install directory '{}' because destination '{}' is not a directory",
                            packagePath, destination));
        fs::create_directories(destinationFs);
    } else if (entry.is_symlink()) {
        fs::path const target = fs::read_symlink(entry.path());
        if (!parent.empty())
            fs::create_directories(parent);
        fs::file_status const own = fs::symlink_status(destinationFs, ec);
        if (fs::exists(own)) {
            if (fs::is_directory(own))
                throw std::runtime_error(fmt::format(
                    "Cannot install symlink '{}' because destination '{}' is an existing directory",
                    packagePath, destination));
            fs::remove(destinationFs);
        }
        fs::create_symlink(target, destinationFs);
        installedPaths.push_back(packagePath);
    } else {
        if (!parent.empty())
            fs::create_directories(parent);
        if (fs::is_directory(destinationFs, ec))
            throw std::runtime_error(
                fmt::format("Cannot install file '{}' because destination '{}' is an existing directory",
                            packagePath, destination));
        fs::copy_file(entry.path(), destinationFs, fs::copy_options::overwrite_existing);
        installedPaths.push_back(packagePath);
    }
    copyPermissions(entry.path(), destination);
}

void PackageManager::copyPermissions(fs::path const& source, std::string const& destination)
{
    struct stat sourceStatus {};
    bool const haveStatus = ::lstat(source.c_str(), &sourceStatus) == 0;
    uid_t const uid = haveStatus ? sourceStatus.st_uid : 0;
    gid_t const gid = haveStatus ? sourceStatus.st_gid : 0;

    if (haveStatus && S_ISLNK(sourceStatus.st_mode)) {
        [[maybe_unused]] int ignored = ::lchown(destination.c_str(), uid, gid);
        return;
    }
    fs::perms const mode = haveStatus ? static_cast<fs::perms>(sourceStatus.st_mode) & fs::perms::mask
                                      : fs::status(source).permissions();
    // Owner before mode: changing the owner clears set-user-ID and set-group-ID
    // bits, so the other order would lose them.
    [[maybe_unused]] int ignored = ::chown(destination.c_str(), uid, gid);
    fs::permissions(destination, mode, fs::perm_options::replace);
}

ShellConfig PackageManager::makeShellConfig() const
{
    ShellConfig shellConfig;
    shellConfig.timeout.reset();
    shellConfig.shell = "/bin/bash";
    shellConfig.verbose = true;
    shellConfig.mergeStderr = true;
    shellConfig.commandViaStdin = true;
    shellConfig.outputDir.clear();
    shellConfig.stdoutFile.clear();
    shellConfig.stderrFile.clear();
    return shellConfig;
}

} // namespace Vandrel::Linux
