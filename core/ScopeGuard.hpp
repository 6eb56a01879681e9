#pragma once

#include <utility>

namespace Vandrel {

// Runs an action when the scope ends, however it ends, unless dismissed.
// The action must not throw: it may run while an exception unwinds.
template <typename Action> class ScopeGuard {
  public:
    explicit ScopeGuard(Action action) : action(std::move(action)) {}
    ~ScopeGuard()
    {
        if (active)
            action();
    }
    ScopeGuard(ScopeGuard const&) = delete;
    ScopeGuard& operator=(ScopeGuard const&) = delete;

    void dismiss() { active = false; }

  private:
    Action action;
    bool active = true;
};

} // namespace Vandrel
