#include "core/InstallRoot.hpp"

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwError(char const* what, std::string const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The path an open descriptor refers to, as the kernel reports it.
std::string descriptorPath(int fd)
{
    std::array<char, 4096> buffer{};
    std::string const link = fmt::format("/proc/self/fd/{}", fd);
    ssize_t const length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<size_t>(length) >= buffer.size())
        throwError("cannot read the path of a descriptor", link, length < 0 ? errno : ENAMETOOLONG);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

} // namespace

InstallRoot::InstallRoot(std::string path, bool create)
    : rootPath(std::move(path)), systemRoot(rootPath == "/")
{
    int const flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    root.reset(::open(rootPath.c_str(), flags));
    if (!root && errno == ENOENT && create) {
        fs::create_directories(rootPath);
        root.reset(::open(rootPath.c_str(), flags));
    }
    if (!root && (create || errno != ENOENT))
        throwError("cannot open the install root", rootPath, errno);
    while (rootPath.size() > 1 && rootPath.back() == '/')
        rootPath.pop_back();
}

std::string InstallRoot::pathOf(std::string_view name) const
{
    std::string path = rootPath;
    if (path.back() != '/')
        path += '/';
    path += name;
    return path;
}

FileDescriptor InstallRoot::open(std::string const& name, int flags, mode_t mode) const
{
    char const* const relative = name.empty() ? "." : name.c_str();
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    long fd = -1;
    // The kernel asks for a retry when a rename elsewhere raced the lookup.
    for (int attempt = 0; attempt < 64; ++attempt) {
        fd = ::syscall(SYS_openat2, root.get(), relative, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN)
            break;
    }
    if (fd < 0 && errno == ENOSYS) {
        // An old kernel: below "/" the ordinary lookup is the same thing;
        // below a prefix there is no safe way on, so nothing is changed.
        if (!systemRoot)
            throw std::runtime_error(fmt::format(
                "Cannot install below '{}': the kernel cannot resolve names inside a directory", rootPath));
        fd = ::openat(root.get(), relative, flags | O_CLOEXEC, mode);
    }
    return FileDescriptor(static_cast<int>(fd));
}

FileDescriptor InstallRoot::makeDirectories(std::string const& name) const
{
    FileDescriptor directory = open(name, O_PATH | O_DIRECTORY);
    if (directory)
        return directory;
    if (errno != ENOENT)
        throwError("cannot create directory", pathOf(name), errno);

    size_t const slash = name.rfind('/');
    FileDescriptor const parent =
        slash == std::string::npos ? open(".", O_PATH | O_DIRECTORY) : makeDirectories(name.substr(0, slash));
    if (!parent)
        throwError("cannot create directory", pathOf(name), errno);
    std::string const base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (::mkdirat(parent.get(), base.c_str(), 0777) != 0 && errno != EEXIST)
        throwError("cannot create directory", pathOf(name), errno);
    directory = open(name, O_PATH | O_DIRECTORY);
    // Still missing: the name is a dangling symlink, which mkdir does not follow.
    if (!directory)
        throwError("cannot create directory", pathOf(name), errno == ENOENT ? EEXIST : errno);
    return directory;
}

int InstallRoot::parentDirectory(std::string const& name, std::string& base)
{
    size_t const slash = name.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : name.substr(0, slash);
    base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!cachedDirectory || parent != cachedName) {
        cachedDirectory.reset();
        cachedDirectory = makeDirectories(parent);
        cachedName = std::move(parent);
    }
    return cachedDirectory.get();
}

std::string InstallRoot::nameOf(int fd) const
{
    std::string const path = descriptorPath(fd);
    std::string const rootReal = descriptorPath(root.get());
    if (rootReal == "/" && !path.empty() && path.front() == '/')
        return path.substr(1);
    if (path.size() > rootReal.size() + 1 && path.compare(0, rootReal.size(), rootReal) == 0 &&
        path[rootReal.size()] == '/')
        return path.substr(rootReal.size() + 1);
    throw std::runtime_error(fmt::format("Cannot find '{}' below the install root '{}'", path, rootPath));
}

} // namespace Vandrel::Linux
