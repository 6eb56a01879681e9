#include "core/StagedNames.hpp"

#include <fmt/format.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Vandrel::Linux::StagedNames {

namespace {

// A name that would grow past NAME_MAX gets a fixed-length one derived from
// it, so that whoever rolls back or finishes the operation finds it again.
std::string besideName(std::string_view base, char const* suffix)
{
    constexpr std::size_t nameMax = 255;
    std::string name = fmt::format(".{}{}", base, suffix);
    if (name.size() <= nameMax)
        return name;
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : base) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return fmt::format(".{:016x}{}", hash, suffix);
}

} // namespace

std::string staged(std::string_view base)
{
    return besideName(base, ".vdpk-new");
}

std::string backup(std::string_view base)
{
    return besideName(base, ".vdpk-old");
}

void stopPoint(char const* point)
{
    char const* const requested = std::getenv("VDPK_TEST_STOP_AT");
    if (requested != nullptr && std::strcmp(requested, point) == 0)
        std::raise(SIGKILL);
}

} // namespace Vandrel::Linux::StagedNames
