#include "core/WorkingDirectoryGuard.hpp"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel {

namespace fs = std::filesystem;

WorkingDirectoryGuard::WorkingDirectoryGuard(fs::path const& directory)
    : previousPath(fs::current_path()), previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (!previous)
        throw fs::filesystem_error("cannot open the working directory", previousPath,
                                   std::error_code(errno, std::generic_category()));
    fs::current_path(directory);
}

WorkingDirectoryGuard::~WorkingDirectoryGuard()
{
    if (!restored)
        (void)::fchdir(previous.get());
}

void WorkingDirectoryGuard::restore()
{
    if (restored)
        return;
    if (::fchdir(previous.get()) != 0)
        throw fs::filesystem_error("cannot change back to the working directory", previousPath,
                                   std::error_code(errno, std::generic_category()));
    restored = true;
}

} // namespace Vandrel
