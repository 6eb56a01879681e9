#include "core/Package.hpp"

#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <stdexcept>
#include <string>

namespace Vandrel::Linux {
namespace {

class PackageLoad : public ::testing::Test {
  protected:
    // Writes the manifest text and returns its path.
    std::string manifest(std::string const& text, std::string const& dir = "pkg")
    {
        return sandbox.writeFile(dir + "/package.yml", text).string();
    }

    // The message of the runtime error that load throws for this text.
    std::string loadError(std::string const& text)
    {
        std::string const path = manifest(text);
        try {
            Package().load(path);
        } catch (YAML::Exception const& e) {
            return std::string("yaml: ") + e.what();
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "<loaded>";
    }

    Vandrel::Test::Sandbox sandbox;
};

TEST_F(PackageLoad, ReadsAllFields)
{
    Package p;
    p.load(manifest("name: alpha\nos: linux\nversion: 2.4.1\narch: x64\ndepends: [gamma, beta]\n"
                    "description: ignored\n"));
    EXPECT_EQ(p.name, "alpha");
    EXPECT_EQ(p.os, "linux");
    EXPECT_EQ(p.version, "2.4.1");
    EXPECT_EQ(p.arch, CpuArch::x64);
    EXPECT_EQ(p.depends, (std::vector<std::string>{"gamma", "beta"}));
}

TEST_F(PackageLoad, KeepsScalarsAsWritten)
{
    Package p;
    p.load(manifest("name:\nos: \"a b'c\"\nversion: ~\narch: x64\ndepends: [~, 1.10]\n"));
    EXPECT_EQ(p.name, "null");
    EXPECT_EQ(p.os, "a b'c");
    EXPECT_EQ(p.version, "null");
    EXPECT_EQ(p.depends, (std::vector<std::string>{"null", "1.10"}));

    p.load(manifest("name: a\nos: b\nversion: 1.0\narch: x64\n", "other dir"));
    EXPECT_EQ(p.version, "1.0");
}

TEST_F(PackageLoad, DependsAbsentOrEmptyIsEmpty)
{
    Package p;
    p.load(manifest("name: a\nos: b\nversion: 1\narch: x64\n"));
    EXPECT_TRUE(p.depends.empty());
    p.depends = {"stale"};
    p.load(manifest("name: a\nos: b\nversion: 1\narch: x64\ndepends: []\n"));
    EXPECT_TRUE(p.depends.empty());
}

TEST_F(PackageLoad, MissingFieldsAreReportedInOrderWithThePathAsPassed)
{
    std::string const path = manifest("os: linux\narch: x64\n", "dir with 'quotes' $x");
    try {
        Package().load(path);
        FAIL() << "loaded";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), "Missing required field 'name' in " + path);
    }
    std::string const prefix = "Missing required field ";
    std::string const in = " in " + sandbox.root().string() + "/pkg/package.yml";
    EXPECT_EQ(loadError("name: a\nversion: 1\narch: x64\n"), prefix + "'os'" + in);
    EXPECT_EQ(loadError("name: a\nos: b\narch: x64\n"), prefix + "'version'" + in);
    EXPECT_EQ(loadError("name: a\nos: b\nversion: 1\n"), prefix + "'arch'" + in);
    EXPECT_EQ(loadError(""), prefix + "'name'" + in);
    EXPECT_EQ(loadError("- name: a\n"), prefix + "'name'" + in);
}

TEST_F(PackageLoad, RejectsBadVersionAndArch)
{
    EXPECT_EQ(loadError("name: a\nos: b\nversion: 1.0-rc1\narch: x64\n"),
              "Invalid package version format '1.0-rc1'");
    // The version is checked before arch is even read.
    EXPECT_EQ(loadError("name: a\nos: b\nversion: \"\"\n"), "Invalid package version format ''");
    EXPECT_EQ(loadError("name: a\nos: b\nversion: 1\narch: X64\n"), "Unknown arch: X64");
    EXPECT_EQ(loadError("name: a\nos: b\nversion: 1\narch: amd64\n"), "Unknown arch: amd64");
    EXPECT_EQ(loadError("name: a\nos: b\nversion: 1\narch: \" x64\"\n"), "Unknown arch:  x64");
}

TEST_F(PackageLoad, WrongYamlKindsFailWithTheLibraryError)
{
    std::string const head = "name: a\nos: b\nversion: 1\narch: x64\n";
    EXPECT_THROW(Package().load(manifest(head + "depends:\n")), YAML::BadConversion);
    EXPECT_THROW(Package().load(manifest(head + "depends: beta\n")), YAML::BadConversion);
    EXPECT_THROW(Package().load(manifest(head + "depends: {a: b}\n")), YAML::BadConversion);
    EXPECT_THROW(Package().load(manifest(head + "depends: [[a]]\n")), YAML::BadConversion);
    EXPECT_THROW(Package().load(manifest("name: [a]\nos: b\nversion: 1\narch: x64\n")), YAML::BadConversion);
    EXPECT_THROW(Package().load(manifest("just text\n")), YAML::Exception);
    EXPECT_THROW(Package().load(manifest("name: [a\n")), YAML::ParserException);
    EXPECT_THROW(Package().load((sandbox.root() / "absent.yml").string()), YAML::BadFile);
}

class PackageArch : public ::testing::Test {};

TEST_F(PackageArch, ConvertsBothWays)
{
    EXPECT_EQ(Package::archToString(CpuArch::x64), "x64");
    EXPECT_EQ(Package::archFromString("x64"), CpuArch::x64);
    EXPECT_THROW(Package::archFromString(""), std::runtime_error);
    try {
        Package::archToString(static_cast<CpuArch>(7));
        FAIL() << "converted";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Unknown arch");
    }
}

} // namespace
} // namespace Vandrel::Linux
