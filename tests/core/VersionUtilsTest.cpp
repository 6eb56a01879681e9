#include "core/VersionUtils.hpp"

#include "tests/support/Errors.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vandrel::Linux {
namespace {

using VersionUtils::compareVersions;
using VersionUtils::isValidVersion;
using VersionUtils::parseVersionComponents;

std::string messageOf(std::string const& version)
{
    return Test::messageOf([&] { parseVersionComponents(version); });
}

class VersionValidation : public ::testing::Test {};

TEST_F(VersionValidation, SplitsAtDots)
{
    EXPECT_EQ(parseVersionComponents("2.4.10"), (std::vector<std::string>{"2", "4", "10"}));
    EXPECT_EQ(parseVersionComponents("r1.2"), (std::vector<std::string>{"r1", "2"}));
    EXPECT_EQ(parseVersionComponents("1.0rc1"), (std::vector<std::string>{"1", "0rc1"}));
}

TEST_F(VersionValidation, RejectsWithExactMessages)
{
    EXPECT_EQ(messageOf(""), "Invalid package version format: version must not be empty");
    for (std::string v : {"1.", ".1", "1..2", "."})
        EXPECT_EQ(messageOf(v), "Invalid package version format '" + v + "': empty component") << v;
    for (std::string v : {"1.0-rc1", "1_0", "1 0", "1+2", "1~2", "1.0'; rm -rf /"})
        EXPECT_EQ(messageOf(v),
                  "Invalid package version format '" + v + "': only letters, digits and dots are allowed")
            << v;
}

TEST_F(VersionValidation, ReportsTheFirstBadComponentFromTheLeft)
{
    EXPECT_EQ(messageOf("1..2-3"), "Invalid package version format '1..2-3': empty component");
    EXPECT_EQ(messageOf("1-2..3"),
              "Invalid package version format '1-2..3': only letters, digits and dots are allowed");
}

TEST_F(VersionValidation, IsValidVersionAnswersWithoutThrowing)
{
    EXPECT_TRUE(isValidVersion("1.0rc1"));
    EXPECT_TRUE(isValidVersion("null"));
    EXPECT_FALSE(isValidVersion(""));
    EXPECT_FALSE(isValidVersion("1..2"));
    EXPECT_FALSE(isValidVersion("1.0-rc1"));
}

TEST_F(VersionValidation, RejectsBytesAbove127AndControlBytes)
{
    for (std::string v :
         std::vector<std::string>{"1.\xc3\xa9", "\xff", "1\x80", "\xb2", std::string("1\0", 2), "1\t"})
        EXPECT_FALSE(isValidVersion(v));
}

struct Row {
    char const* a;
    char const* b;
    int result;
};

// Rows are checked both ways round: swapping the arguments negates the result.
Row const orderTable[] = {
    {"1.0", "1", 0},
    {"1.0.0", "1.00", 0},
    {"1.2.3", "1.2.3.0", 0},
    {"0", "0.0.0", 0},
    {"1.01", "1.1", 0},
    {"007", "7", 0},
    {"1.2", "1.10", -1},
    {"1.9", "1.10", -1},
    {"2.0", "10.0", -1},
    {"1.0", "1.0.1", -1},
    {"1b2", "1b10", -1},
    {"1a", "1b", -1},
    {"1a", "10", -1},
    {"1a", "1", 1},
    {"1.0rc1", "1.0", 1},
    {"1.0a", "1", 1},
    {"1.1a", "1.1.1", 1},
    {"1.alpha", "1", 1},
    {"a", "1", 1},
    {"A", "a", -1},
    {"x", "X", 1},
    {"abc", "ab", 1},
    {"rc1", "rc2", -1},
    {"beta", "alpha", 1},
    {"1.0a", "1.0", 1},
    {"0a", "0", 1},
    {"1.00.5", "1.0.5", 0},
    {"2.4.10", "2.4.9", 1},
    // A letter run against a longer digit run: the letter byte decides, not the length.
    {"a", "10", 1},
    {"1.a", "1.10", 1},
};

void PrintTo(Row const& row, std::ostream* os)
{
    *os << row.a << " vs " << row.b;
}

class VersionOrder : public ::testing::TestWithParam<Row> {};

TEST_P(VersionOrder, HoldsBothWaysRound)
{
    Row const row = GetParam();
    EXPECT_EQ(compareVersions(row.a, row.b), row.result);
    EXPECT_EQ(compareVersions(row.b, row.a), -row.result);
    EXPECT_EQ(compareVersions(row.a, row.a), 0);
}

INSTANTIATE_TEST_SUITE_P(WorkedTable, VersionOrder, ::testing::ValuesIn(orderTable));

class VersionOrderLimits : public ::testing::Test {};

TEST_F(VersionOrderLimits, ComparesLongDigitRunsByValue)
{
    std::string const big = "123456789012345678901234567890";
    std::string const bigger = "123456789012345678901234567891";
    EXPECT_EQ(compareVersions(big, bigger), -1);
    EXPECT_EQ(compareVersions(bigger, big), 1);
    EXPECT_EQ(compareVersions("000000000000000000000000" + big, big), 0);
    // More digits means larger, even when the shorter one starts higher.
    EXPECT_EQ(compareVersions("99999999999999999999999", "100000000000000000000000"), -1);
    EXPECT_EQ(compareVersions("1.18446744073709551616", "1.18446744073709551615"), 1);
    EXPECT_EQ(compareVersions("1.000000000000000000000000", "1"), 0);
}

TEST_F(VersionOrderLimits, InvalidArgumentsThrowTheParseMessage)
{
    try {
        compareVersions("1.0", "1..0");
        FAIL() << "compared";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Invalid package version format '1..0': empty component");
    }
    EXPECT_THROW(compareVersions("", "1"), std::runtime_error);
}

} // namespace
} // namespace Vandrel::Linux
