#include "core/ArchiveManifest.hpp"

#include "core/ShellQuote.hpp"

#include "tests/support/Archive.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Vandrel::Linux {
namespace {

namespace fs = std::filesystem;
namespace support = Vandrel::Test;

// How an archive is packed from its staging directory (DIR) into ARCHIVE.
struct Packing {
    std::string label;
    std::string command; // "{dir}" and "{archive}" are replaced
    std::size_t filler;  // bytes of incompressible data in files/
};

void PrintTo(Packing const& p, std::ostream* os)
{
    *os << p.label;
}

class ArchiveManifestRead : public ::testing::TestWithParam<Packing> {};

TEST_P(ArchiveManifestRead, ReadsTheManifestWhereverThePackerPutIt)
{
    support::Sandbox box;
    support::PackageSpec spec{.name = "alpha", .version = "2.10", .depends = {"beta", "gamma"}};
    spec.files["usr/share/alpha/data"] = support::incompressibleData(GetParam().filler);
    fs::path const dir = box.root() / "stage";
    support::stagePackage(dir, spec);
    fs::path const archive = box.root() / "alpha.vdpk.tar.bz2";
    std::string command = GetParam().command;
    command.replace(command.find("{archive}"), 9, shellQuote(archive.string()));
    command.replace(command.find("{dir}"), 5, shellQuote(dir.string()));
    ASSERT_EQ(support::runShell(command).status, 0) << command;

    Package const package = readArchiveManifest(archive);
    EXPECT_EQ(package.name, "alpha");
    EXPECT_EQ(package.version, "2.10");
    EXPECT_EQ(package.depends, (std::vector<std::string>{"beta", "gamma"}));
}

INSTANTIATE_TEST_SUITE_P(
    Orders, ArchiveManifestRead,
    ::testing::Values(
        Packing{"FirstAsTheBuilderPacks",
                "tar -cjf {archive} -C {dir} ./package.yml --exclude=./package.yml .", 0},
        Packing{"FirstOfALargeArchive", "tar -cjf {archive} -C {dir} ./package.yml --exclude=./package.yml .",
                1 << 20},
        Packing{"FirstWithoutDotSlash", "tar -cjf {archive} -C {dir} package.yml files", 0},
        Packing{"Last", "tar -cjf {archive} -C {dir} --no-recursion . --recursion ./files ./package.yml", 0},
        Packing{"LastOfALargeArchive",
                "tar -cjf {archive} -C {dir} --no-recursion . --recursion ./files ./package.yml", 1 << 20},
        Packing{"FirstInAnArchiveOfAnotherCompression", "tar -cJf {archive} -C {dir} ./package.yml ./files",
                0}),
    [](auto const& info) { return info.param.label; });

TEST(ArchiveManifestRefusal, ATruncatedArchiveOrNoArchiveFailsTheInspection)
{
    support::Sandbox box;
    fs::path const archive = support::makeArchive(box.root(), {.name = "alpha"});
    fs::resize_file(archive, fs::file_size(archive) / 2);
    EXPECT_EQ(support::messageOf([&] { readArchiveManifest(archive); }),
              "Failed to inspect package '" + archive.string() + "'");
    fs::path const text = box.writeFile("plain.txt", "not an archive\n");
    EXPECT_EQ(support::messageOf([&] { readArchiveManifest(text); }),
              "Failed to inspect package '" + text.string() + "'");
}

} // namespace
} // namespace Vandrel::Linux
