#include "core/PackageManager.hpp"

#include "core/FileDescriptor.hpp"
#include "core/FileDetails.hpp"
#include "core/InstallRoot.hpp"
#include "core/ScopeGuard.hpp"
#include "core/Shell.hpp"
#include "core/StagedNames.hpp"
#include "core/TreeCopy.hpp"

#include <SQLiteCpp/Transaction.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
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

[[noreturn]] void throwCopyError(int error, std::string const& source, std::string const& destination)
{
    throw fs::filesystem_error("cannot copy file", source, destination,
                               std::error_code(error, std::generic_category()));
}

// Copies a regular file's bytes into an open destination, feeding the digest
// being taken; errors name both files.
void copyBytes(int in, int out, std::string const& source, std::string const& destination)
{
    try {
        copyFileBytes(in, out, destination, CopyDigest::active());
    } catch (fs::filesystem_error const& error) {
        throwCopyError(error.code().value(), source, destination);
    }
}

[[noreturn]] void throwError(char const* what, std::string const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

char const* specialKind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return nullptr;
}

// A file is written only over a regular file: a directory is a conflict, and
// writing to a FIFO would block and to a device would feed it the bytes.
void refuseAsDestination(std::string const& packagePath, std::string const& destination,
                         struct stat const& status)
{
    if (S_ISDIR(status.st_mode))
        throw std::runtime_error(
            fmt::format("Cannot install file '{}' because destination '{}' is an existing directory",
                        packagePath, destination));
    if (char const* const kind = specialKind(status.st_mode))
        throw std::runtime_error(fmt::format("Cannot install file '{}' because destination '{}' is {}",
                                             packagePath, destination, kind));
}

// The unpacked file to copy; only a regular file is copied, as the library's
// copy would do.
FileDescriptor openSource(std::string const& source, std::string const& destination)
{
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!in)
        throwCopyError(errno, source, destination);
    if (::fstat(in.get(), &status) != 0)
        throwCopyError(errno, source, destination);
    if (!S_ISREG(status.st_mode))
        throwCopyError(ENOTSUP, source, destination);
    return in;
}

// Copies the bytes, then owner and mode through the descriptor, owner first
// so set-ID bits survive, and closes the destination to see a late error.
void writeCopy(FileDescriptor& in, FileDescriptor& out, std::string const& source,
               std::string const& destination)
{
    struct stat sourceStatus {};
    if (::fstat(in.get(), &sourceStatus) != 0)
        throwCopyError(errno, source, destination);
    copyBytes(in.get(), out.get(), source, destination);
    [[maybe_unused]] int const ignored = ::fchown(out.get(), sourceStatus.st_uid, sourceStatus.st_gid);
    if (::fchmod(out.get(), sourceStatus.st_mode & 07777) != 0)
        throwError("cannot set permissions", destination, errno);
    if (::close(out.release()) != 0)
        throwCopyError(errno, source, destination);
}

// Puts a copy in place as a new inode: written beside the destination under a
// temporary name, then renamed over it. Other hard links of the old file keep
// their content.
void replaceFile(FileDescriptor& in, std::string const& source, int directory, std::string const& base,
                 std::string const& destination)
{
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    FileDescriptor out;
    for (int attempt = 0; !out && attempt < 100; ++attempt) {
        temporary = fmt::format(".vdpk-{}-{}", ::getpid(), counter++);
        out.reset(::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600));
        if (!out && errno != EEXIST)
            throwCopyError(errno, source, destination);
    }
    if (!out)
        throwCopyError(EEXIST, source, destination);
    ScopeGuard removeTemporary([&] { (void)::unlinkat(directory, temporary.c_str(), 0); });
    writeCopy(in, out, source, destination);
    if (::renameat(directory, temporary.c_str(), directory, base.c_str()) != 0)
        throwCopyError(errno, source, destination);
    removeTemporary.dismiss();
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
    copiedDetails.clear();
    fs::path const filesDir = unpackDir / "files";

    // Collect first and copy afterwards, directories first: every directory is
    // in place (with its mode and owner) before any file lands in it.
    auto [directories, others] = listUnpacked(unpackDir);
    if (directories.empty() && others.empty())
        return installedPaths;

    InstallRoot root(installPrefix ? *installPrefix : std::string("/"), true);
    std::string const sourcePrefix = filesDir.native() + "/";
    for (auto const& [packagePath, kind] : directories)
        installEntry(root, sourcePrefix + packagePath, packagePath, kind, installedPaths);
    directories = {};
    for (auto const& [packagePath, kind] : others)
        installEntry(root, sourcePrefix + packagePath, packagePath, kind, installedPaths);
    copiedList = installedPaths.data();
    return installedPaths;
}

PackageManager::UnpackedTree PackageManager::listUnpacked(fs::path const& unpackDir)
{
    // Only the package path and the kind are kept per entry: a directory_entry
    // holds a parsed path, which costs far more memory in a package of many files.
    fs::path const filesDir = unpackDir / "files";
    UnpackedTree tree;
    for (fs::directory_entry const& entry : fs::recursive_directory_iterator(unpackDir)) {
        std::string packagePath = packagePathOf(entry.path(), filesDir);
        if (packagePath.empty())
            continue;
        EntryKind const kind = kindOf(entry);
        (kind == EntryKind::directory ? tree.directories : tree.others)
            .emplace_back(std::move(packagePath), kind);
    }
    return tree;
}

PackageManager::EntryKind PackageManager::kindOf(fs::directory_entry const& entry)
{
    // The type of a walked entry comes from the directory listing. A symlink
    // is installed as a symlink whatever it points to, so that the result does
    // not depend on what its target happens to be on the installing machine.
    if (entry.is_symlink())
        return EntryKind::symlink;
    if (entry.is_directory())
        return EntryKind::directory;
    return entry.is_regular_file() ? EntryKind::regular : EntryKind::other;
}

void PackageManager::copyEntry(fs::directory_entry const& entry, fs::path const& filesDir,
                               std::vector<std::string>& installedPaths) const
{
    InstallRoot root(installPrefix ? *installPrefix : std::string("/"), true);
    installEntry(root, entry.path().native(), packagePathOf(entry.path(), filesDir), kindOf(entry),
                 installedPaths);
}

void PackageManager::installEntry(InstallRoot& root, std::string const& source,
                                  std::string const& packagePath, EntryKind kind,
                                  std::vector<std::string>& installedPaths) const
{
    if (kind == EntryKind::directory) {
        installDirectory(root, source, packagePath);
        return;
    }
    // Only regular files are copied, as the library's copy would; a device
    // node of the package is not even opened.
    if (kind == EntryKind::other)
        throwCopyError(ENOTSUP, source, destinationPath(packagePath));
    CopyDigest digest; // fed by the byte copy, if the file is copied
    if (kind == EntryKind::symlink)
        installSymlink(root, source, packagePath);
    else
        installFile(root, source, packagePath);
    installedPaths.push_back(packagePath);
    recordDetails(root, packagePath, digest);
}

void PackageManager::installDirectory(InstallRoot& root, std::string const& source,
                                      std::string const& packagePath) const
{
    FileDescriptor directory = root.open(packagePath, O_PATH | O_DIRECTORY);
    if (!directory) {
        int const error = errno;
        if (error == ENOTDIR) {
            FileDescriptor const existing = root.open(packagePath, O_PATH);
            struct stat status {};
            if (existing && ::fstat(existing.get(), &status) == 0 && !S_ISDIR(status.st_mode))
                throw std::runtime_error(
                    fmt::format("Cannot install directory '{}' because destination '{}' is not a directory",
                                packagePath, destinationPath(packagePath)));
        }
        if (error != ENOENT)
            throwError("cannot create directory", destinationPath(packagePath), error);
        directory = root.makeDirectories(packagePath);
    }

    struct stat sourceStatus {};
    if (::lstat(source.c_str(), &sourceStatus) != 0)
        throwError("cannot read the status of", source, errno);
    // Owner before mode: changing the owner clears set-user-ID and set-group-ID
    // bits, so the other order would lose them. The descriptor is an O_PATH one,
    // which fchmod refuses, hence the change through ".".
    [[maybe_unused]] int const ignored =
        ::fchownat(directory.get(), "", sourceStatus.st_uid, sourceStatus.st_gid, AT_EMPTY_PATH);
    if (::fchmodat(directory.get(), ".", sourceStatus.st_mode & 07777, 0) != 0)
        throwError("cannot set permissions", destinationPath(packagePath), errno);
}

void PackageManager::installSymlink(InstallRoot& root, std::string const& source,
                                    std::string const& packagePath) const
{
    std::string const target = fs::read_symlink(source).native();
    std::string base;
    int const directory = root.parentDirectory(packagePath, base);
    struct stat existing {};
    if (::fstatat(directory, base.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode))
            throw std::runtime_error(
                fmt::format("Cannot install symlink '{}' because destination '{}' is an existing directory",
                            packagePath, destinationPath(packagePath)));
        if (::unlinkat(directory, base.c_str(), 0) != 0)
            throwError("cannot remove", destinationPath(packagePath), errno);
    } else if (errno != ENOENT) {
        throwError("cannot create symlink", destinationPath(packagePath), errno);
    }
    if (::symlinkat(target.c_str(), directory, base.c_str()) != 0)
        throwError("cannot create symlink", destinationPath(packagePath), errno);

    struct stat sourceStatus {};
    if (::lstat(source.c_str(), &sourceStatus) == 0) {
        [[maybe_unused]] int const ignored = ::fchownat(directory, base.c_str(), sourceStatus.st_uid,
                                                        sourceStatus.st_gid, AT_SYMLINK_NOFOLLOW);
    }
}

void PackageManager::installFile(InstallRoot& root, std::string const& source,
                                 std::string const& packagePath) const
{
    std::string base;
    int const directory = root.parentDirectory(packagePath, base);
    struct stat existing {};
    bool const exists = ::fstatat(directory, base.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        throwCopyError(errno, source, destinationPath(packagePath));
    if (exists)
        refuseAsDestination(packagePath, destinationPath(packagePath), existing);
    if (exists && S_ISLNK(existing.st_mode)) {
        copyThroughSymlink(root, source, packagePath);
        return;
    }
    // Nothing or a regular file at the destination from here on.
    if (moveRegularFiles && moveRegularFile(source, directory, base))
        return; // mode and owner are the source's already

    FileDescriptor in = openSource(source, destinationPath(packagePath));
    if (exists && existing.st_nlink > 1) {
        replaceFile(in, source, directory, base, destinationPath(packagePath));
        return;
    }
    int const flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exists ? O_TRUNC : O_CREAT | O_EXCL);
    FileDescriptor out(::openat(directory, base.c_str(), flags, 0600));
    if (!out)
        throwCopyError(errno, source, destinationPath(packagePath));
    writeCopy(in, out, source, destinationPath(packagePath));
}

// A symlink at the destination of a file is followed, inside the root: the
// file it leads to takes the new content.
void PackageManager::copyThroughSymlink(InstallRoot& root, std::string const& source,
                                        std::string const& packagePath) const
{
    std::string const destination = destinationPath(packagePath);
    FileDescriptor const target = root.open(packagePath, O_PATH);
    struct stat status {};
    if (!target) {
        if (errno != ENOENT)
            throwCopyError(errno, source, destination);
        // A dangling link: the file it names is created, below the root.
        FileDescriptor in = openSource(source, destination);
        FileDescriptor out = root.open(packagePath, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0600);
        if (!out)
            throwCopyError(errno, source, destination);
        if (::fstat(out.get(), &status) != 0 || !S_ISREG(status.st_mode))
            throw std::runtime_error(fmt::format("Cannot install file '{}' because destination '{}' is {}",
                                                 packagePath, destination, "not a regular file"));
        writeCopy(in, out, source, destination);
        return;
    }
    if (::fstat(target.get(), &status) != 0)
        throwCopyError(errno, source, destination);
    refuseAsDestination(packagePath, destination, status);

    FileDescriptor in = openSource(source, destination);
    if (status.st_nlink > 1) {
        std::string base;
        int const directory = root.parentDirectory(root.nameOf(target.get()), base);
        replaceFile(in, source, directory, base, destination);
        return;
    }
    FileDescriptor out = root.open(packagePath, O_WRONLY | O_TRUNC | O_NONBLOCK);
    if (!out)
        throwCopyError(errno, source, destination);
    writeCopy(in, out, source, destination);
}

// Moves an unpacked regular file into place where that gives the same result
// as copying it: the source has no other hard link (else the installed file
// would stay one inode with the other names) and the destination is absent
// or a regular file, which the new inode replaces. A replaced file is not
// truncated, so a running program or a mapped library that still uses the old
// one is not disturbed, and other hard links of it keep their content.
// Returns false to leave the entry to the copy; after a move across file
// systems is refused no move is tried again.
bool PackageManager::moveRegularFile(std::string const& source, int directory, std::string const& base) const
{
    struct stat sourceStatus {};
    if (::lstat(source.c_str(), &sourceStatus) != 0 || !S_ISREG(sourceStatus.st_mode) ||
        sourceStatus.st_nlink != 1)
        return false;
    if (::renameat(AT_FDCWD, source.c_str(), directory, base.c_str()) == 0)
        return true;
    if (errno == EXDEV)
        moveRegularFiles = false;
    return false;
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

namespace {

std::string parentNameOf(std::string const& name)
{
    size_t const slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string baseNameOf(std::string const& name)
{
    size_t const slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

} // namespace

PackageManager::StagedEntry PackageManager::planEntry(InstallRoot& root, std::string const& source,
                                                      std::string const& packagePath, EntryKind kind) const
{
    std::string const destination = destinationPath(packagePath);
    // Only regular files are copied, as the library's copy would; a device
    // node of the package is not even opened.
    if (kind == EntryKind::other)
        throwCopyError(ENOTSUP, source, destination);
    StagedEntry entry{packagePath, packagePath, kind, false};
    FileDescriptor const parent = root.open(parentNameOf(packagePath), O_PATH | O_DIRECTORY);
    if (!parent)
        return entry; // its directory is new, or staging reports why it cannot be made
    std::string const base = baseNameOf(packagePath);
    struct stat existing {};
    if (::fstatat(parent.get(), base.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            throwCopyError(errno, source, destination);
        return entry;
    }
    entry.replaces = true;
    if (kind == EntryKind::symlink) {
        if (S_ISDIR(existing.st_mode))
            throw std::runtime_error(
                fmt::format("Cannot install symlink '{}' because destination '{}' is an existing directory",
                            packagePath, destination));
        return entry; // a link replaces whatever non-directory is there, a link too
    }
    refuseAsDestination(packagePath, destination, existing);
    if (!S_ISLNK(existing.st_mode))
        return entry;

    // A file over a symlink goes where the link leads, inside the root.
    FileDescriptor const target = root.open(packagePath, O_PATH);
    if (target) {
        struct stat status {};
        if (::fstat(target.get(), &status) != 0)
            throwCopyError(errno, source, destination);
        refuseAsDestination(packagePath, destination, status);
        if (!S_ISREG(status.st_mode))
            throw std::runtime_error(fmt::format("Cannot install file '{}' because destination '{}' is {}",
                                                 packagePath, destination, "not a regular file"));
        entry.target = root.nameOf(target.get());
        return entry;
    }
    if (errno != ENOENT)
        throwCopyError(errno, source, destination);
    // A dangling link: the file it names is created, in a directory that
    // must exist below the root.
    std::string linkTarget = fs::read_symlink(destination).native();
    fs::path named = linkTarget.front() == '/' ? fs::path(linkTarget).relative_path()
                                               : fs::path(parentNameOf(packagePath)) / linkTarget;
    named = named.lexically_normal();
    while (!named.empty() && *named.begin() == "..")
        named = named.lexically_relative("..");
    std::string const namedText = named.string();
    if (namedText.empty() || namedText == "." || namedText.back() == '/')
        throwCopyError(EISDIR, source, destination);
    std::string const namedParent = parentNameOf(namedText);
    FileDescriptor const directory = root.open(namedParent, O_PATH | O_DIRECTORY);
    if (!directory)
        throwCopyError(errno, source, destination);
    std::string const resolvedParent = namedParent.empty() ? std::string() : root.nameOf(directory.get());
    entry.target =
        resolvedParent.empty() ? baseNameOf(namedText) : resolvedParent + "/" + baseNameOf(namedText);
    entry.replaces = false;
    return entry;
}

FileDetails PackageManager::stageEntry(InstallRoot& root, std::string const& source,
                                       StagedEntry const& entry) const
{
    std::string const destination = destinationPath(entry.packagePath);
    std::string base;
    int const directory = root.parentDirectory(entry.target, base);
    std::string const staged = StagedNames::staged(base);
    if (::unlinkat(directory, staged.c_str(), 0) != 0 && errno != ENOENT)
        throwError("cannot remove", destination, errno);
    CopyDigest digest; // fed by the byte copy, if the file is copied
    if (entry.kind == EntryKind::symlink) {
        std::string const target = fs::read_symlink(source).native();
        if (::symlinkat(target.c_str(), directory, staged.c_str()) != 0)
            throwError("cannot create symlink", destination, errno);
        struct stat sourceStatus {};
        if (::lstat(source.c_str(), &sourceStatus) == 0) {
            [[maybe_unused]] int const ignored = ::fchownat(directory, staged.c_str(), sourceStatus.st_uid,
                                                            sourceStatus.st_gid, AT_SYMLINK_NOFOLLOW);
        }
    } else if (!moveRegularFiles || !moveRegularFile(source, directory, staged)) {
        FileDescriptor in = openSource(source, destination);
        FileDescriptor out(::openat(directory, staged.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!out)
            throwCopyError(errno, source, destination);
        writeCopy(in, out, source, destination);
    }
    return describeEntry(directory, staged, digest, destination);
}

void PackageManager::installStaged(Package const& package, fs::path const& unpackDir, InstallReason reason)
{
    fs::path const filesDir = unpackDir / "files";
    auto [directories, others] = listUnpacked(unpackDir);
    std::string const sourcePrefix = filesDir.native() + "/";
    InstallRoot root(installPrefix ? *installPrefix : std::string("/"),
                     !directories.empty() || !others.empty());

    // Everything is decided before anything changes: a conflict anywhere in
    // the package stops the install with the root as it was.
    JournalEntry journal;
    journal.package = package.name;
    journal.version = package.version;
    std::optional<std::string> const older = installedVersion(package.name);
    journal.operation = older ? "upgrade" : "install";
    journal.tempDir = unpackDir.string();
    // The older version's own files: those it alone recorded.
    std::unordered_set<std::string> ownOldFiles;
    if (older) {
        int const oldId = findPackageId(package.name);
        std::unordered_set<std::string> const shared = filesWithOtherOwners(oldId);
        for (auto& file : findPackageFiles(package.name))
            if (shared.count(file) == 0)
                ownOldFiles.insert(std::move(file));
    }
    // Files of the older version where the newer one has a directory: moved
    // aside when staging starts, and back should the install be undone.
    std::vector<std::string> displaced;
    auto const belowDisplaced = [&displaced](std::string const& path) {
        return std::any_of(displaced.begin(), displaced.end(), [&path](std::string const& file) {
            return path.size() > file.size() && path.compare(0, file.size(), file) == 0 &&
                   path[file.size()] == '/';
        });
    };
    for (auto const& [packagePath, kind] : directories) {
        if (!root.exists())
            break;
        if (belowDisplaced(packagePath)) {
            journal.directories.push_back(packagePath);
            continue;
        }
        if (root.open(packagePath, O_PATH | O_DIRECTORY))
            continue;
        int const error = errno;
        if (error == ENOTDIR) {
            FileDescriptor const parent = root.open(parentNameOf(packagePath), O_PATH | O_DIRECTORY);
            struct stat status {};
            bool const nonDirectory =
                parent &&
                ::fstatat(parent.get(), baseNameOf(packagePath).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(status.st_mode);
            if (nonDirectory && ownOldFiles.count(packagePath) != 0) {
                displaced.push_back(packagePath);
                journal.replaces.push_back(packagePath);
                journal.directories.push_back(packagePath);
                continue;
            }
            FileDescriptor const existing = root.open(packagePath, O_PATH);
            if (existing && ::fstat(existing.get(), &status) == 0 && !S_ISDIR(status.st_mode))
                throw std::runtime_error(
                    fmt::format("Cannot install directory '{}' because destination '{}' is not a directory",
                                packagePath, destinationPath(packagePath)));
        }
        if (error != ENOENT)
            throwError("cannot create directory", destinationPath(packagePath), error);
        journal.directories.push_back(packagePath);
    }
    std::vector<std::string> files;
    files.reserve(others.size());
    std::vector<StagedEntry> entries;
    entries.reserve(others.size());
    // Two entries that land on one name (a file and a link leading to it):
    // the later one wins, as if they were copied in turn.
    // The keys view the targets inside entries, which never reallocates.
    std::unordered_map<std::string_view, std::size_t> byTarget;
    byTarget.reserve(others.size());
    bool sharedTarget = false;
    for (auto const& [packagePath, kind] : others) {
        files.push_back(packagePath);
        StagedEntry entry = planEntry(root, sourcePrefix + packagePath, packagePath, kind);
        if (auto const at = byTarget.find(entry.target); at != byTarget.end()) {
            sharedTarget = true;
            StagedEntry& earlier = entries[at->second];
            earlier.packagePath = std::move(entry.packagePath);
            earlier.kind = entry.kind;
            earlier.replaces = entry.replaces;
            continue;
        }
        entries.push_back(std::move(entry));
        byTarget.emplace(entries.back().target, entries.size() - 1);
    }
    byTarget = {};
    others = {};
    for (auto const& entry : entries)
        (entry.replaces ? journal.replaces : journal.creates).push_back(entry.target);
    // What only the older version had goes after the commit, unless another
    // package recorded it too; a file displaced by a directory is gone by then.
    std::unordered_set<std::string> kept(files.begin(), files.end());
    kept.insert(displaced.begin(), displaced.end());
    for (auto const& file : ownOldFiles)
        if (kept.count(file) == 0)
            journal.removes.push_back(file);

    journal.id = writeJournal(journal);
    StagedNames::stopPoint("after-journal");
    // This run's own clean-up leaves its unpack directory to the TempDir.
    journal.tempDir.clear();
    try {
        for (auto const& name : displaced) {
            std::string base;
            int const directory = root.parentDirectory(name, base);
            std::string const backup = StagedNames::backup(base);
            if (::unlinkat(directory, backup.c_str(), 0) != 0 && errno != ENOENT)
                throwError("cannot remove", destinationPath(name), errno);
            if (::renameat(directory, base.c_str(), directory, backup.c_str()) != 0)
                throwError("cannot replace", destinationPath(name), errno);
        }
        for (auto const& [packagePath, kind] : directories)
            installDirectory(root, sourcePrefix + packagePath, packagePath);
        copiedDetails.clear();
        copiedList = nullptr;
        std::vector<FileDetails> details;
        details.reserve(entries.size());
        moveRegularFiles = true;
        ScopeGuard const stopMoving([this] { moveRegularFiles = false; });
        std::size_t const halfWay = entries.size() / 2;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i == halfWay)
                StagedNames::stopPoint("half-way");
            details.push_back(stageEntry(root, sourcePrefix + entries[i].packagePath, entries[i]));
        }

        // Every file is staged: now each takes its place in one rename, the
        // old one kept as a second link until the database records the new.
        for (auto const& entry : entries) {
            std::string base;
            int const directory = root.parentDirectory(entry.target, base);
            std::string const staged = StagedNames::staged(base);
            if (entry.replaces) {
                std::string const backup = StagedNames::backup(base);
                if (::unlinkat(directory, backup.c_str(), 0) != 0 && errno != ENOENT)
                    throwError("cannot remove", destinationPath(entry.target), errno);
                // Where no second link can be made the old file itself moves aside.
                if (::linkat(directory, base.c_str(), directory, backup.c_str(), 0) != 0 &&
                    ::renameat(directory, base.c_str(), directory, backup.c_str()) != 0 && errno != ENOENT)
                    throwError("cannot replace", destinationPath(entry.target), errno);
            }
            if (::renameat(directory, staged.c_str(), directory, base.c_str()) != 0)
                throwError("cannot replace", destinationPath(entry.target), errno);
        }
        // New files and their directories reach the disk before the database
        // says they are there.
        if (root.exists()) {
            FileDescriptor const rootDir = root.open("", O_RDONLY | O_DIRECTORY);
            if (rootDir && ::syncfs(rootDir.get()) != 0)
                throwError("cannot sync", destinationPath(""), errno);
        }
        StagedNames::stopPoint("before-commit");

        if (!sharedTarget) {
            copiedDetails = std::move(details);
            copiedList = files.data();
        }
        commitInstall(package, files, reason, journal.id);
    } catch (...) {
        try {
            rollBack(journal);
        } catch (...) {
            // The entry stays; the next run rolls the install back.
        }
        throw;
    }
    StagedNames::stopPoint("after-commit");
    // Every staged name of this run was renamed into place: only the backups
    // of replaced files and the older version's own files are left to go.
    journal.creates.clear();
    complete(journal);
}

void PackageManager::commitInstall(Package const& package, std::vector<std::string> const& files,
                                   InstallReason reason, std::int64_t journalId)
{
    SQLite::Database& database = db();
    SQLite::Transaction transaction(database);
    {
        SQLite::Statement older(database, "SELECT id FROM package WHERE name = ?");
        older.bind(1, package.name);
        if (older.executeStep()) {
            int const oldId = older.getColumn(0).getInt();
            older.reset();
            removeRows(oldId);
        }
    }
    int const id = savePackageIntoDb(package);
    saveFilesIntoDb(id, files);
    saveDependenciesIntoDb(id, package.depends);
    saveDetailsIntoDb(id, files, reason);
    database.exec(fmt::format("UPDATE journal SET committed = 1 WHERE id = {}", journalId));
    transaction.commit();
}

} // namespace Vandrel::Linux
