#include "core/PackageManager.hpp"

#include "core/Shell.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

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

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(FileDescriptor const&) = delete;
    FileDescriptor& operator=(FileDescriptor const&) = delete;
    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }

  private:
    int fd;
};

[[noreturn]] void throwCopyError(int error, std::string const& source, std::string const& destination)
{
    throw fs::filesystem_error("cannot copy file", source, destination,
                               std::error_code(error, std::generic_category()));
}

// Copies a regular file's bytes into an open destination.
void copyBytes(int in, int out, off_t size, std::string const& source, std::string const& destination)
{
    off_t offset = 0;
    while (offset < size) {
        ssize_t const sent = ::sendfile(out, in, &offset, static_cast<size_t>(size - offset));
        if (sent > 0)
            continue;
        if (sent == 0)
            break; // the source shrank meanwhile
        if (errno == EINTR)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            throwCopyError(errno, source, destination);
        // No sendfile between these two: plain reads and writes.
        char buffer[64 * 1024];
        while (true) {
            ssize_t const got = ::pread(in, buffer, sizeof buffer, offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                throwCopyError(errno, source, destination);
            if (got == 0)
                return;
            for (ssize_t written = 0; written < got;) {
                ssize_t const w = ::write(out, buffer + written, static_cast<size_t>(got - written));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    throwCopyError(errno, source, destination);
                written += w;
            }
            offset += got;
        }
    }
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
    // in place (with its mode and owner) before any file lands in it. Only the
    // package path and the kind are kept per entry: a directory_entry holds a
    // parsed path, which costs far more memory in a package of many files.
    std::vector<std::pair<std::string, EntryKind>> directories;
    std::vector<std::pair<std::string, EntryKind>> others;
    for (fs::directory_entry const& entry : fs::recursive_directory_iterator(unpackDir)) {
        std::string packagePath = packagePathOf(entry.path(), filesDir);
        if (packagePath.empty())
            continue;
        EntryKind const kind = kindOf(entry);
        (kind == EntryKind::directory ? directories : others).emplace_back(std::move(packagePath), kind);
    }

    std::string const sourcePrefix = filesDir.native() + "/";
    for (auto const& [packagePath, kind] : directories)
        installEntry(sourcePrefix + packagePath, packagePath, kind, installedPaths);
    directories = {};
    for (auto const& [packagePath, kind] : others)
        installEntry(sourcePrefix + packagePath, packagePath, kind, installedPaths);
    return installedPaths;
}

PackageManager::EntryKind PackageManager::kindOf(fs::directory_entry const& entry)
{
    // The type of a walked entry comes from the directory listing; only a
    // symlink needs a look at its target.
    if (entry.is_directory())
        return EntryKind::directory;
    if (entry.is_symlink())
        return EntryKind::symlink;
    return entry.is_regular_file() ? EntryKind::regular : EntryKind::other;
}

void PackageManager::copyEntry(fs::directory_entry const& entry, fs::path const& filesDir,
                               std::vector<std::string>& installedPaths) const
{
    installEntry(entry.path().native(), packagePathOf(entry.path(), filesDir), kindOf(entry), installedPaths);
}

void PackageManager::installEntry(std::string const& source, std::string const& packagePath, EntryKind kind,
                                  std::vector<std::string>& installedPaths) const
{
    // The root joined with a relative package path, without a path object per file.
    std::string destination = installPrefix ? *installPrefix : std::string();
    if (destination.empty() || destination.back() != '/')
        destination += '/';
    destination += packagePath;
    size_t const slash = destination.rfind('/');
    std::string const parent = slash == 0 ? std::string("/") : destination.substr(0, slash);
    std::error_code ec;

    if (kind == EntryKind::directory) {
        fs::file_status const status = fs::status(destination, ec);
        if (fs::exists(status) && !fs::is_directory(status))
            throw std::runtime_error(
                fmt::format("Cannot install directory '{}' because destination '{}' is not a directory",
                            packagePath, destination));
        fs::create_directories(destination);
    } else if (kind == EntryKind::symlink) {
        fs::path const target = fs::read_symlink(source);
        if (!parent.empty())
            fs::create_directories(parent);
        fs::file_status const own = fs::symlink_status(destination, ec);
        if (fs::exists(own)) {
            if (fs::is_directory(own))
                throw std::runtime_error(fmt::format(
                    "Cannot install symlink '{}' because destination '{}' is an existing directory",
                    packagePath, destination));
            fs::remove(destination);
        }
        fs::create_symlink(target, destination);
        installedPaths.push_back(packagePath);
    } else {
        if (kind == EntryKind::regular &&
            ((moveRegularFiles && moveRegularFile(source, destination, parent)) ||
             copyRegularFile(source, destination, parent))) {
            installedPaths.push_back(packagePath);
            return; // mode and owner are the source's already
        }
        if (!parent.empty())
            fs::create_directories(parent);
        if (fs::is_directory(destination, ec))
            throw std::runtime_error(
                fmt::format("Cannot install file '{}' because destination '{}' is an existing directory",
                            packagePath, destination));
        fs::copy_file(source, destination, fs::copy_options::overwrite_existing);
        installedPaths.push_back(packagePath);
    }
    copyPermissions(source, destination);
}

// Moves an unpacked regular file into place where that gives the same result
// as copying it: nothing at the destination, or a regular file with no other
// hard link (a copy would overwrite it in place, then take the source's mode
// and owner, which the moved file has already). The destination is replaced
// by a new file instead of being truncated, so a running program or a mapped
// library that still uses the old one is not disturbed. Returns false to
// leave the entry to the copy: a symlink or directory at the destination, a
// shared inode, or another file system (after which no move is tried again).
bool PackageManager::moveRegularFile(std::string const& source, std::string const& destination,
                                     std::string const& parent) const
{
    struct stat existing {};
    if (::lstat(destination.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode) || existing.st_nlink != 1)
            return false;
    } else if (errno != ENOENT && errno != ENOTDIR) {
        return false;
    }
    if (::rename(source.c_str(), destination.c_str()) == 0)
        return true;
    if (errno == ENOENT && !parent.empty()) {
        fs::create_directories(parent);
        if (::rename(source.c_str(), destination.c_str()) == 0)
            return true;
    }
    if (errno == EXDEV)
        moveRegularFiles = false;
    return false;
}

// The copy of a regular package file with as few path lookups as possible:
// the destination is opened once (which also follows a symlink there and
// refuses a directory, as the checks above would), and owner and mode are set
// through the descriptor, owner first so set-ID bits survive. Returns false
// when the source is no regular file, leaving it to the general path above.
bool PackageManager::copyRegularFile(std::string const& source, std::string const& destination,
                                     std::string const& parent) const
{
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat sourceStatus {};
    if (in.get() < 0 || ::fstat(in.get(), &sourceStatus) != 0 || !S_ISREG(sourceStatus.st_mode))
        return false;

    int const flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fd = ::open(destination.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT && !parent.empty()) {
        fs::create_directories(parent);
        fd = ::open(destination.c_str(), flags, 0600);
    }
    if (fd < 0 && errno == EISDIR)
        return false; // the general path reports the conflict
    if (fd < 0)
        throwCopyError(errno, source, destination);
    FileDescriptor out(fd);

    copyBytes(in.get(), out.get(), sourceStatus.st_size, source, destination);
    [[maybe_unused]] int ignored = ::fchown(out.get(), sourceStatus.st_uid, sourceStatus.st_gid);
    if (::fchmod(out.get(), sourceStatus.st_mode & 07777) != 0)
        throw fs::filesystem_error("cannot set permissions", destination,
                                   std::error_code(errno, std::generic_category()));
    if (::close(out.release()) != 0)
        throwCopyError(errno, source, destination);
    return true;
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
