#pragma once

// Names the installer gives a file beside its destination while an operation
// is in progress, and the stop points the crash tests use.

#include <string>
#include <string_view>

namespace Vandrel::Linux::StagedNames {

// The new content of base, written beside it until every file of the package
// is staged: ".BASE.vdpk-new".
std::string staged(std::string_view base);
// The old content of a replaced base, kept until the database records the
// new one: ".BASE.vdpk-old".
std::string backup(std::string_view base);

// A crash at a named point of an operation, for the tests only: when
// VDPK_TEST_STOP_AT names the point, the process kills itself there.
void stopPoint(char const* point);

} // namespace Vandrel::Linux::StagedNames
