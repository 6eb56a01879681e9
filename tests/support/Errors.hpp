#pragma once

#include <functional>
#include <string>

namespace Vandrel::Test {

// What an action's exception says, or "<no error>" when it throws none.
std::string messageOf(std::function<void()> const& action);

// Collects everything the test process writes to standard error from its
// construction on; text() ends the capture and returns it. Only one capture
// can be active at a time.
class CapturedStderr {
  public:
    CapturedStderr();
    ~CapturedStderr();
    CapturedStderr(CapturedStderr const&) = delete;
    CapturedStderr& operator=(CapturedStderr const&) = delete;

    std::string text();

  private:
    bool active = true;
};

} // namespace Vandrel::Test
