#include "core/TarDecompress.hpp"

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel {

std::optional<std::string> findProgramOnPath(std::string_view name)
{
    char const* path = std::getenv("PATH");
    if (path == nullptr || name.empty() || name.find('/') != std::string_view::npos)
        return std::nullopt;
    std::string_view entries(path);
    while (true) {
        std::size_t const colon = entries.find(':');
        std::string_view const dir = entries.substr(0, colon);
        if (!dir.empty()) {
            std::string candidate(dir);
            candidate += '/';
            candidate += name;
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        if (colon == std::string_view::npos)
            return std::nullopt;
        entries.remove_prefix(colon + 1);
    }
}

bool programOnPath(std::string_view name)
{
    return findProgramOnPath(name).has_value();
}

std::string tarDecompressOption()
{
    // The program is named, not its full path: the shell that runs tar finds
    // it on the same PATH, and the printed command line stays short.
    return programOnPath("lbzip2") ? " -I lbzip2" : "";
}

std::string tarDecompressOption(std::filesystem::path const& archive)
{
    std::error_code error;
    std::uintmax_t const size = std::filesystem::file_size(archive, error);
    if (error || size < parallelDecompressMinBytes)
        return "";
    return tarDecompressOption();
}

std::string localArchiveName(std::string const& name)
{
    if (name.empty() || name.front() == '/' || name.starts_with("./"))
        return name;
    return "./" + name;
}

} // namespace Vandrel
