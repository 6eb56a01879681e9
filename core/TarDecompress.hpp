#pragma once

#include <string>
#include <string_view>

namespace Vandrel {

// True when PATH names a directory holding an executable regular file called
// name. Empty PATH entries (the working directory) are not searched.
bool programOnPath(std::string_view name);

// The option that makes tar decompress a bzip2 archive on every core: " -I
// lbzip2" (with its leading space) when lbzip2 is on PATH, otherwise empty, so
// tar falls back to its own bzip2. Looked up on every call: PATH may change.
std::string tarDecompressOption();

} // namespace Vandrel
