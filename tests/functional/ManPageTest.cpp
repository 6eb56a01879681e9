// The manual pages: they pass the roff linter without a warning, and they
// describe every option of the usage texts the programs print, every
// variable those texts name, and every key of the example configuration.
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <regex>
#include <set>
#include <string>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;

fs::path manDir()
{
    return sourceDir() / "man";
}

// The page source with roff's escaped hyphens made plain, so that "\-\-list"
// reads as the option a user types.
std::string pageText(std::string const& page)
{
    std::string text = readFile(manDir() / page);
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

// The part of a page from ".SH NAME" up to the next section heading.
std::string section(std::string const& text, std::string const& name)
{
    auto const start = text.find("\n.SH " + name + "\n");
    if (start == std::string::npos)
        return {};
    auto const end = text.find("\n.SH ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Every option spelling in a usage text: "--name" and "-x".
std::set<std::string> usageOptions(std::string const& usage)
{
    std::set<std::string> options;
    std::regex const option(R"((^|[\s,])(--?[A-Za-z][-A-Za-z]*))");
    for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it)
        options.insert((*it)[2]);
    return options;
}

TEST(ManPageLint, EveryPagePassesMandocWithoutWarnings)
{
    RunResult const which = runShell("command -v mandoc");
    ASSERT_EQ(which.status, 0) << "mandoc is missing: run scripts/install-deps.sh";
    fs::path const mandoc = which.out.substr(0, which.out.find('\n'));
    for (char const* page : {"vdpk.1", "vd-build.1", "vdpk.yml.5"}) {
        SCOPED_TRACE(page);
        ASSERT_TRUE(fs::exists(manDir() / page));
        RunResult const r = runProgram(mandoc, {"-T", "lint", "-W", "warning", (manDir() / page).string()});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(ManPageLint, TheLintReportsABrokenPage)
{
    // The check above is only worth something if mandoc complains at all.
    Sandbox sandbox;
    fs::path const broken = sandbox.writeFile("broken.1", ".TH BROKEN 1\n.SH NAME\n.BR\n.XY unknown\n");
    RunResult const r = runShell("mandoc -T lint -W warning " + broken.string());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out + r.err, "");
}

struct ProgramPage {
    char const* usageFile;
    char const* page;
    std::size_t optionCount;
};

void PrintTo(ProgramPage const& programPage, std::ostream* out)
{
    *out << programPage.page;
}

class ManPageOptions : public ::testing::TestWithParam<ProgramPage> {};

TEST_P(ManPageOptions, DescribesEveryOptionOfTheUsageTextInItsOptionsSection)
{
    std::string const usage = readFile(sourceDir() / GetParam().usageFile);
    ASSERT_FALSE(usage.empty());
    auto const options = usageOptions(usage);
    // Guards the extraction itself: a pattern that found nothing would pass.
    EXPECT_EQ(options.size(), GetParam().optionCount);

    std::string const text = pageText(GetParam().page);
    std::string const optionsSection = section(text, "OPTIONS");
    ASSERT_FALSE(optionsSection.empty());
    for (auto const& option : options) {
        // The page's item heading, e.g. ".BR -c \", \" --config ..." or ".B --help".
        std::regex const item(R"(\n\.TP\n\.BR? [^\n]*)" + option + R"(($|[^-A-Za-z0-9]))");
        EXPECT_TRUE(std::regex_search(optionsSection, item)) << option << " has no item in OPTIONS";
    }
}

TEST_P(ManPageOptions, NamesTheUsageTextsVariableInItsEnvironmentSection)
{
    std::string const usage = readFile(sourceDir() / GetParam().usageFile);
    ASSERT_NE(usage.find("VDPK_CONFIG"), std::string::npos);
    std::string const environment = section(pageText(GetParam().page), "ENVIRONMENT");
    EXPECT_NE(environment.find(".B VDPK_CONFIG\n"), std::string::npos);
    EXPECT_FALSE(section(pageText(GetParam().page), "EXIT STATUS").empty());
    EXPECT_FALSE(section(pageText(GetParam().page), "EXAMPLES").empty());
}

INSTANTIATE_TEST_SUITE_P(Programs, ManPageOptions,
                         ::testing::Values(ProgramPage{"vdpk/usage.txt", "vdpk.1", 19},
                                           ProgramPage{"vd-build/usage.txt", "vd-build.1", 10}),
                         [](auto const& info) {
                             return std::string(info.param.page[2] == '-' ? "VdBuild" : "Vdpk");
                         });

TEST(ManPageOptionCheck, ReadsBothSpellingsOfAnOptionLine)
{
    EXPECT_EQ(usageOptions("  -c, --config <dir>   Defaults to VDPK_CONFIG or /etc/vdpk.\n"),
              (std::set<std::string>{"-c", "--config"}));
}

TEST(ManPageFiles, DescribesEveryKeyOfTheExampleConfigurationAndTheManifest)
{
    std::string const text = pageText("vdpk.yml.5");
    std::set<std::string> keys;
    std::regex const key(R"((^|\n)\s*([A-Za-z]+):)");
    for (char const* example : {"etc/pkg.yml.in", "etc/build.yml.in"}) {
        std::string const content = readFile(sourceDir() / example);
        for (std::sregex_iterator it(content.begin(), content.end(), key), end; it != end; ++it)
            keys.insert((*it)[2]);
    }
    for (char const* manifestKey : {"name", "os", "version", "arch", "depends"})
        keys.insert(manifestKey);
    EXPECT_EQ(keys.size(), 4u + 1u + 5u + 5u);
    for (auto const& name : keys) {
        // The section key introduces the build keys in prose; every other key has an item.
        std::string const mention = name == "buildFs" ? "\n.BR buildFs " : "\n.TP\n.B " + name + "\n";
        EXPECT_NE(text.find(mention), std::string::npos) << name << " is not described";
    }
    for (char const* file : {"PKG.YML", "BUILD.YML", "PACKAGE.YML"})
        EXPECT_FALSE(section(text, file).empty()) << file;
}

} // namespace
} // namespace Vandrel::Test
