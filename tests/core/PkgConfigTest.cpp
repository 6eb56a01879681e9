#include "core/PkgConfig.hpp"

#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <stdexcept>
#include <string>

namespace Vandrel::Linux {
namespace {

class PkgConfigLoad : public ::testing::Test {
  protected:
    std::string writeConfig(std::string const& text)
    {
        sandbox.writeFile("etc/pkg.yml", text);
        return sandbox.configDir().string();
    }

    // The runtime error message loadConfig gives for this file.
    std::string loadError(std::string const& text)
    {
        std::string const dir = writeConfig(text);
        try {
            PkgConfig().loadConfig(dir);
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "<loaded>";
    }

    std::string missing(std::string const& key) const
    {
        return "Missing required field '" + key + "' in " + sandbox.configDir().string() + "/pkg.yml";
    }

    Vandrel::Test::Sandbox sandbox;
};

TEST_F(PkgConfigLoad, ReadsTheFourKeysVerbatim)
{
    PkgConfig config;
    config.loadConfig(writeConfig("extra: ignored\n"
                                  "database: \"/var/lib/a b/pkgs.db\"\n"
                                  "shareDir: '/opt/it''s here/'\n"
                                  "pkgRepoUrl: http://127.0.0.1:8080/repo//\n"
                                  "pkgRepoCachePath: \"$HOME/`cache`;\"\n"));
    EXPECT_EQ(config.database, "/var/lib/a b/pkgs.db");
    EXPECT_EQ(config.shareDir, "/opt/it's here/");
    EXPECT_EQ(config.pkgRepoUrl, "http://127.0.0.1:8080/repo//");
    EXPECT_EQ(config.pkgRepoCachePath, "$HOME/`cache`;");
}

TEST_F(PkgConfigLoad, ScalarsBecomeTheirText)
{
    PkgConfig config;
    config.loadConfig(writeConfig("database:\nshareDir: 42\npkgRepoUrl: ~\npkgRepoCachePath: 1.10\n"));
    EXPECT_EQ(config.database, "null");
    EXPECT_EQ(config.shareDir, "42");
    EXPECT_EQ(config.pkgRepoUrl, "null");
    EXPECT_EQ(config.pkgRepoCachePath, "1.10");
}

TEST_F(PkgConfigLoad, ReportsTheFirstMissingKey)
{
    EXPECT_EQ(loadError("database: d\nshareDir: s\n"), missing("pkgRepoUrl"));
    EXPECT_EQ(loadError("Database: d\nshareDir: s\npkgRepoUrl: u\npkgRepoCachePath: c\n"),
              missing("database"));
    EXPECT_EQ(loadError(""), missing("database"));
    EXPECT_EQ(loadError("- database: d\n"), missing("database"));
}

TEST_F(PkgConfigLoad, KeepsFieldsReadBeforeTheMissingKey)
{
    PkgConfig config{"old-db", "old-share", "old-url", "old-cache"};
    EXPECT_THROW(config.loadConfig(writeConfig("database: d\nshareDir: s\n")), std::runtime_error);
    EXPECT_EQ(config.database, "d");
    EXPECT_EQ(config.shareDir, "s");
    EXPECT_EQ(config.pkgRepoUrl, "old-url");
    EXPECT_EQ(config.pkgRepoCachePath, "old-cache");
}

TEST_F(PkgConfigLoad, YamlErrorsPassThrough)
{
    EXPECT_THROW(PkgConfig().loadConfig(writeConfig("database: [a, b]\n")), YAML::BadConversion);
    EXPECT_THROW(PkgConfig().loadConfig(writeConfig("database: {a: b}\n")), YAML::BadConversion);
    EXPECT_THROW(PkgConfig().loadConfig(writeConfig("database: [a\n")), YAML::ParserException);
    EXPECT_THROW(PkgConfig().loadConfig((sandbox.root() / "nowhere").string()), YAML::BadFile);
}

class PkgConfigSharedFile : public ::testing::Test {
  protected:
    Vandrel::Test::Sandbox sandbox;
};

TEST_F(PkgConfigSharedFile, ReadsBytesUnderShareDir)
{
    char const raw[] = "line one\r\nzero \0 byte\n\xff";
    std::string const bytes(raw, sizeof raw - 1);
    sandbox.writeFile("share dir/vdpk/sql/create.sql", bytes);
    sandbox.writeFile("share dir/empty", "");
    PkgConfig config;
    config.shareDir = (sandbox.root() / "share dir").string();
    EXPECT_EQ(config.readSharedFile("vdpk/sql/create.sql"), bytes);
    EXPECT_EQ(config.readSharedFile("empty"), "");
}

TEST_F(PkgConfigSharedFile, MissingFileNamesTheJoinedPath)
{
    PkgConfig config;
    config.shareDir = sandbox.root().string();
    try {
        config.readSharedFile("vdpk/sql/absent.sql");
        FAIL() << "read";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Could not open file: " + sandbox.root().string() + "/vdpk/sql/absent.sql");
    }
}

TEST_F(PkgConfigSharedFile, DirectoryIsNotReadAsAnEmptyFile)
{
    std::filesystem::create_directories(sandbox.root() / "vdpk/sql/file.sql");
    PkgConfig config;
    config.shareDir = sandbox.root().string();
    try {
        config.readSharedFile("vdpk/sql/file.sql");
        FAIL() << "read";
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Could not open file: " + sandbox.root().string() + "/vdpk/sql/file.sql");
    }
}

} // namespace
} // namespace Vandrel::Linux
