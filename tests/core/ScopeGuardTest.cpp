#include "core/ScopeGuard.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using Vandrel::ScopeGuard;

TEST(ScopeGuardAction, RunsOnceOnEveryWayOut)
{
    int runs = 0;
    {
        ScopeGuard const guard([&] { ++runs; });
    }
    EXPECT_EQ(runs, 1);
    try {
        ScopeGuard const guard([&] { ++runs; });
        throw std::runtime_error("out");
    } catch (std::runtime_error const&) {
    }
    EXPECT_EQ(runs, 2);
}

TEST(ScopeGuardAction, DismissedGuardDoesNothing)
{
    int runs = 0;
    {
        ScopeGuard guard([&] { ++runs; });
        guard.dismiss();
    }
    EXPECT_EQ(runs, 0);
}

} // namespace
