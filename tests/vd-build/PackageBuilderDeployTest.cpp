#include "core/RepositoryIndex.hpp"
#include "core/Signature.hpp"
#include "core/WorkingDirectoryGuard.hpp"
#include "vd-build/BuildConfig.hpp"
#include "vd-build/PackageBuilder.hpp"

#include "tests/support/Errors.hpp"
#include "tests/support/Minisign.hpp"
#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using Linux::BuildConfig;
using Linux::Package;
using Linux::PackageBuilder;

// The deploy step alone: an archive in a package source directory moved into
// the repository, with or without a signing key.
class PackageBuilderDeploy : public ::testing::Test {
  protected:
    PackageBuilderDeploy()
    {
        package.os = "core";
        package.name = "alpha";
        package.version = "1.2";
        source = box.root() / "src";
        box.writeFile(fs::path("src") / PackageBuilder::packageFileName(package), "archive bytes\n");
    }

    // Deploys from the source directory with a builder whose signing key is key.
    void deploy(std::string const& key)
    {
        BuildConfig config;
        config.workDir = (box.root() / "work").string();
        config.packageRepo = (box.root() / "repo").string();
        config.signingKey = key;
        PackageBuilder builder(PkgConfig{}, config);
        Vandrel::WorkingDirectoryGuard inSource(source);
        builder.deployPackageToRepo(package);
    }

    fs::path deployed() const
    {
        return box.root() / "repo" / "core" / "alpha" / "1.2" / PackageBuilder::packageFileName(package);
    }
    fs::path signature() const { return deployed().string() + ".minisig"; }

    using PkgConfig = Linux::PkgConfig;
    Sandbox box;
    Package package;
    fs::path source;
};

TEST_F(PackageBuilderDeploy, SignsTheDeployedArchiveSoThatMinisignVerifiesIt)
{
    auto const keys = makeMinisignKeyPair(box.root() / "keys", "repo");
    deploy(keys.secretKey.string());
    EXPECT_FALSE(fs::exists(source / PackageBuilder::packageFileName(package)));
    RunResult const verified = minisignVerify(keys.publicKey, deployed());
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(readFile(signature()).find("\tfile:alpha-1.2-x64.vdpk.tar.bz2\thashed\n"), std::string::npos);
}

TEST_F(PackageBuilderDeploy, AnEncryptedKeyIsReadWithThePassphraseFromTheEnvironment)
{
    auto const keys = makeMinisignKeyPair(box.root() / "keys", "repo");
    fs::path const encrypted = box.root() / "keys" / "encrypted.key";
    encryptMinisignKey(keys.secretKey, encrypted, "s3cret phrase");
    ScopedEnv passphrase(Linux::Signature::passphraseVariable, "s3cret phrase");
    deploy(encrypted.string());
    EXPECT_EQ(minisignVerify(keys.publicKey, deployed()).status, 0);
}

TEST_F(PackageBuilderDeploy, WithoutAKeyNothingIsSignedAndAStaleSignatureGoes)
{
    box.writeFile(fs::relative(signature(), box.root()), "a signature of the archive this one replaces\n");
    deploy("");
    EXPECT_EQ(readFile(deployed()), "archive bytes\n");
    EXPECT_FALSE(fs::exists(signature()));
}

TEST_F(PackageBuilderDeploy, AKeyThatCannotBeReadFailsWithItsPath)
{
    fs::path const missing = box.root() / "no-such.key";
    EXPECT_EQ(messageOf([&] { deploy(missing.string()); }),
              "Failed to read secret key '" + missing.string() + "'");
}

TEST_F(PackageBuilderDeploy, KeepsTheRepositoryIndexUpToDateWithEveryDeployedArchive)
{
    deploy("");
    package.name = "beta";
    package.version = "1.0";
    package.depends = {"alpha"};
    box.writeFile(fs::path("src") / PackageBuilder::packageFileName(package), "other bytes\n");
    deploy("");
    fs::path const index = box.root() / "repo" / "index.yml";
    auto const read = Linux::RepositoryIndex::parse(readFile(index), index.string());
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[0].path, "core/alpha/1.2/alpha-1.2-x64.vdpk.tar.bz2");
    EXPECT_EQ(read.entries[1].path, "core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2");
    EXPECT_EQ(read.entries[1].depends, std::vector<std::string>{"alpha"});
    EXPECT_EQ(read.entries[1].size, 12u);
    // sha256sum of "other bytes\n".
    RunResult const sum = runShell("printf 'other bytes\\n' | sha256sum");
    EXPECT_EQ(read.entries[1].sha256, sum.out.substr(0, 64));
    EXPECT_FALSE(fs::exists(index.string() + ".minisig"));
}

TEST_F(PackageBuilderDeploy, WithAKeyTheIndexIsSignedInTheSameStep)
{
    auto const keys = makeMinisignKeyPair(box.root() / "keys", "repo");
    deploy(keys.secretKey.string());
    RunResult const verified = minisignVerify(keys.publicKey, box.root() / "repo" / "index.yml");
    EXPECT_EQ(verified.status, 0) << verified.err;
}

TEST(BuildConfigRepository, ABuildYmlWithOnlyTheRepositoryIsEnoughToIndexIt)
{
    Sandbox box;
    box.writeFile("etc/build.yml", "buildFs:\n  packageRepo: r\n  signingKey: k\n");
    BuildConfig const config = BuildConfig::loadRepository(box.configDir().string());
    EXPECT_EQ(config.packageRepo, "r");
    EXPECT_EQ(config.signingKey, "k");
    box.writeFile("etc/build.yml", "buildFs:\n  signingKey: k\n");
    EXPECT_EQ(messageOf([&] { BuildConfig::loadRepository(box.configDir().string()); }),
              "Missing required field 'packageRepo' in " + (box.configDir() / "build.yml").string());
}

TEST(BuildConfigSigningKey, IsOptionalAndReadVerbatim)
{
    Sandbox box;
    std::string const keys = "buildFs:\n  template: t\n  workDir: w\n  packageSources: s\n  packageRepo: r\n"
                             "  pkgDatabasePath: d\n";
    box.writeFile("etc/build.yml", keys);
    EXPECT_EQ(BuildConfig::load(box.configDir().string()).signingKey, "");
    box.writeFile("etc/build.yml", keys + "  signingKey: keys/repo.key\n");
    EXPECT_EQ(BuildConfig::load(box.configDir().string()).signingKey, "keys/repo.key");
}

} // namespace
} // namespace Vandrel::Test
