#pragma once

#include "core/Package.hpp"

#include <filesystem>

namespace Vandrel::Linux {

// The manifest ("package.yml" at the top of a package archive) without
// unpacking the rest: tar stops reading once it has the member, so an archive
// that stores it first is read no further than its first blocks. Throws
// "Failed to inspect package '{}'" (the absolute path) when tar cannot read
// the archive, and the errors of Package::load for a missing or bad manifest.
Package readArchiveManifest(std::filesystem::path const& archive);

} // namespace Vandrel::Linux
