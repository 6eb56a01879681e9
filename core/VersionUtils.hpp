#pragma once

#include <string>
#include <vector>

namespace Vandrel::Linux::VersionUtils {

// Splits a version into its dot-separated components, or throws with the
// exact reason the version is invalid.
std::vector<std::string> parseVersionComponents(std::string const& version);

// True when parseVersionComponents accepts the text. Never throws.
bool isValidVersion(std::string const& version);

// -1 when a is older than b, 0 when equal in version order, 1 when newer.
// Throws for an invalid version.
int compareVersions(std::string const& a, std::string const& b);

} // namespace Vandrel::Linux::VersionUtils
