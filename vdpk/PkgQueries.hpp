#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace Vandrel::Linux {

class PackageManager;

// The read-only query commands of vdpk. Each writes its answer to out and
// throws (reported as an error, status 1) when it has to fail.
namespace PkgQueries {

enum class Query : unsigned char { owner, files, info, verify, orphans };

// "--owner" and so on.
char const* optionName(Query query);

void run(Query query, std::optional<std::string> const& argument, PackageManager const& manager,
         std::ostream& out);

} // namespace PkgQueries

} // namespace Vandrel::Linux
