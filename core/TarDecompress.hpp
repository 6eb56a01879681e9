#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Vandrel {

// True when PATH names a directory holding an executable regular file called
// name. Empty PATH entries (the working directory) are not searched.
bool programOnPath(std::string_view name);
// The path of that file (as PATH names its directory), if there is one.
std::optional<std::string> findProgramOnPath(std::string_view name);

// The option that makes tar decompress a bzip2 archive on every core: " -I
// lbzip2" (with its leading space) when lbzip2 is on PATH, otherwise empty, so
// tar falls back to its own bzip2. Looked up on every call: PATH may change.
std::string tarDecompressOption();

// The same for one archive, but empty for an archive smaller than
// parallelDecompressMinBytes: lbzip2 gains only on a stream of several
// blocks, and starting its threads costs more than it saves on a small
// package (a few milliseconds each, twice per package of an install).
inline constexpr std::uintmax_t parallelDecompressMinBytes = 32 * 1024;
std::string tarDecompressOption(std::filesystem::path const& archive);

// An archive name as tar must be given it: tar takes a name with a colon
// before its first slash for HOST:FILE on another machine, so a relative
// name gets "./" in front. An absolute name is left as it is.
std::string localArchiveName(std::string const& name);

} // namespace Vandrel
