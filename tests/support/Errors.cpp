#include "tests/support/Errors.hpp"

#include <gtest/gtest.h>

#include <exception>

namespace Vandrel::Test {

std::string messageOf(std::function<void()> const& action)
{
    try {
        action();
    } catch (std::exception const& e) {
        return e.what();
    }
    return "<no error>";
}

CapturedStderr::CapturedStderr()
{
    ::testing::internal::CaptureStderr();
}

CapturedStderr::~CapturedStderr()
{
    if (active)
        ::testing::internal::GetCapturedStderr();
}

std::string CapturedStderr::text()
{
    if (!active)
        return {};
    active = false;
    return ::testing::internal::GetCapturedStderr();
}

} // namespace Vandrel::Test
