#include "core/TarDecompress.hpp"

#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Vandrel {
namespace {

namespace fs = std::filesystem;
using Vandrel::Test::ScopedEnv;

class DecompressorLookup : public ::testing::Test {
  protected:
    // A directory below the sandbox holding an entry called lbzip2 of the
    // given kind: "program", "plain file", "directory" or nothing.
    fs::path dirWith(std::string const& name, std::string const& kind) const
    {
        fs::path const dir = box.root() / name;
        fs::create_directories(dir);
        if (kind == "program" || kind == "plain file") {
            box.writeFile(fs::path(name) / "lbzip2", "#!/bin/sh\n");
            fs::permissions(dir / "lbzip2", kind == "program"
                                                ? fs::perms::owner_all
                                                : fs::perms::owner_read | fs::perms::owner_write);
        } else if (kind == "directory") {
            fs::create_directories(dir / "lbzip2");
        }
        return dir;
    }

    Vandrel::Test::Sandbox box;
};

TEST_F(DecompressorLookup, AnExecutableOnPathIsUsedByName)
{
    std::string const path =
        dirWith("a", "none").string() + ":" + dirWith("b", "program").string() + ":/nonexistent";
    ScopedEnv env("PATH", path);
    EXPECT_TRUE(programOnPath("lbzip2"));
    EXPECT_EQ(tarDecompressOption(), " -I lbzip2");
}

TEST_F(DecompressorLookup, NonExecutablesDirectoriesAndTheWorkingDirectoryDoNotCount)
{
    fs::path const cwdDir = dirWith("cwd", "program");
    std::string const path =
        dirWith("a", "plain file").string() + "::" + dirWith("b", "directory").string() + ":";
    ScopedEnv env("PATH", path);
    fs::path const previous = fs::current_path();
    fs::current_path(cwdDir);
    bool const found = programOnPath("lbzip2");
    std::string const option = tarDecompressOption();
    fs::current_path(previous);
    EXPECT_FALSE(found);
    EXPECT_EQ(option, "");
}

TEST_F(DecompressorLookup, NoPathOrANameWithASlashFindsNothing)
{
    {
        ScopedEnv env("PATH", std::nullopt);
        EXPECT_EQ(tarDecompressOption(), "");
    }
    ScopedEnv env("PATH", dirWith("b", "program").string());
    EXPECT_FALSE(programOnPath("b/lbzip2"));
    EXPECT_FALSE(programOnPath(""));
}

TEST_F(DecompressorLookup, OnlyArchivesOfSeveralBlocksGoThroughLbzip2)
{
    ScopedEnv env("PATH", dirWith("b", "program").string());
    fs::path const small = box.root() / "small.tar.bz2";
    fs::path const large = box.root() / "large.tar.bz2";
    std::ofstream(small) << std::string(parallelDecompressMinBytes - 1, 'x');
    std::ofstream(large) << std::string(parallelDecompressMinBytes, 'x');
    EXPECT_EQ(tarDecompressOption(small), "");
    EXPECT_EQ(tarDecompressOption(large), " -I lbzip2");
    EXPECT_EQ(tarDecompressOption(box.root() / "missing.tar.bz2"), "");
    ScopedEnv noPath("PATH", std::nullopt);
    EXPECT_EQ(tarDecompressOption(large), "");
}

} // namespace
} // namespace Vandrel
