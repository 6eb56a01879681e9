#include "core/TreeCopy.hpp"

#include "core/FileDescriptor.hpp"
#include "core/FileDetails.hpp"
#include "core/ScopeGuard.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwSystemError(char const* what, fs::path const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// One copyFiles run: both roots for the error message, and the walk over
// open directories, so that every entry is reached by its own name below a
// directory descriptor rather than by resolving its whole path again.
class TreeCopy {
  public:
    TreeCopy(fs::path const& from, fs::path const& to) : from(from), to(to) {}

    void run()
    {
        FileDescriptor source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!source)
            throwSystemError("cannot open directory", from, errno);
        fs::create_directories(to);
        FileDescriptor target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!target)
            throwSystemError("cannot open directory", to, errno);
        copyDirectory(std::move(source), target.get(), from);
    }

    void run(int sourceDirectory, int targetDirectory)
    {
        FileDescriptor source(::openat(sourceDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!source)
            throwSystemError("cannot open directory", from, errno);
        copyDirectory(std::move(source), targetDirectory, from);
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
        copyFileBytes(in.get(), out.get(), sourcePath / name);
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

} // namespace

CopyFilesError::CopyFilesError(fs::path from, fs::path to, fs::path file, std::string const& reason)
    : std::runtime_error(fmt::format("copyFiles error:\nwas copying '{}' -> '{}'\nfail while copying file "
                                     "'{}'\nreason: {}",
                                     from.string(), to.string(), file.string(), reason)),
      from(std::move(from)), to(std::move(to)), file(std::move(file))
{
}

void copyFileBytes(int in, int out, fs::path const& target, CopyDigest* digest)
{
    bool rangeCopy = digest == nullptr;
    bool sendFile = digest == nullptr;
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
            if (digest != nullptr && copied > 0)
                digest->update(buffer, static_cast<size_t>(copied));
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

void copyTree(fs::path const& from, fs::path const& to)
{
    TreeCopy(from, to).run();
}

void copyTree(int fromDirectory, fs::path const& fromName, int toDirectory, fs::path const& toName)
{
    TreeCopy(fromName, toName).run(fromDirectory, toDirectory);
}

void copyRegularFileAt(int fromDirectory, std::string const& name, fs::path const& fromName,
                       int targetDirectory, std::string const& targetName)
{
    FileDescriptor in(::openat(fromDirectory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in)
        throwSystemError("cannot copy file", fromName, errno);
    struct stat status {};
    if (::fstat(in.get(), &status) != 0)
        throwSystemError("cannot copy file", fromName, errno);
    if (!S_ISREG(status.st_mode))
        throwSystemError("cannot copy file", fromName, ENOTSUP);
    removeTreeAt(targetDirectory, targetName, fromName);
    FileDescriptor out(::openat(targetDirectory, targetName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        throwSystemError("cannot copy file", fromName, errno);
    copyFileBytes(in.get(), out.get(), fromName);
    if (::fchmod(out.get(), status.st_mode & 07777) != 0)
        throwSystemError("cannot set permissions", fromName, errno);
    if (::close(out.release()) != 0)
        throwSystemError("cannot copy file", fromName, errno);
}

namespace {

void removeDirectoryContents(int directory, dev_t device, fs::path const& pathName)
{
    FileDescriptor own(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own)
        throwSystemError("cannot remove", pathName, errno);
    DIR* const stream = ::fdopendir(own.get());
    if (stream == nullptr)
        throwSystemError("cannot remove", pathName, errno);
    own.release();
    ScopeGuard const closeStream([stream] { ::closedir(stream); });
    while (true) {
        errno = 0;
        dirent const* const entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0)
                throwSystemError("cannot read directory", pathName, errno);
            return;
        }
        std::string_view const name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat status {};
        if (::fstatat(directory, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            throwSystemError("cannot remove", pathName / name, errno);
        }
        if (!S_ISDIR(status.st_mode)) {
            if (::unlinkat(directory, entry->d_name, 0) != 0 && errno != ENOENT)
                throwSystemError("cannot remove", pathName / name, errno);
            continue;
        }
        // Like rm --one-file-system: a mount below is not ours to empty.
        if (status.st_dev != device)
            throwSystemError("cannot remove a mount point", pathName / name, EXDEV);
        FileDescriptor child(
            ::openat(directory, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child)
            throwSystemError("cannot remove", pathName / name, errno);
        removeDirectoryContents(child.get(), device, pathName / name);
        if (::unlinkat(directory, entry->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT)
            throwSystemError("cannot remove", pathName / name, errno);
    }
}

} // namespace

void removeTreeAt(int parent, std::string const& name, fs::path const& pathName)
{
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        throwSystemError("cannot remove", pathName, errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT)
            throwSystemError("cannot remove", pathName, errno);
        return;
    }
    struct stat parentStatus {};
    if (::fstat(parent, &parentStatus) != 0)
        throwSystemError("cannot remove", pathName, errno);
    if (status.st_dev != parentStatus.st_dev)
        throwSystemError("cannot remove a mount point", pathName, EXDEV);
    FileDescriptor directory(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory)
        throwSystemError("cannot remove", pathName, errno);
    removeDirectoryContents(directory.get(), status.st_dev, pathName);
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        throwSystemError("cannot remove", pathName, errno);
}

} // namespace Vandrel::Linux
