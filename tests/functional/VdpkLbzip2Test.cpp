// Runs the built vdpk with and without lbzip2 on PATH: the parallel
// decompressor must change nothing but the speed and the printed command line.
#include "core/ShellQuote.hpp"

#include "tests/support/DatabaseDump.hpp"
#include "tests/support/Tree.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <SQLiteCpp/Database.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class VdpkDecompressor : public ::testing::Test {
  protected:
    VdpkDecompressor()
    {
        box.writePkgConfig({}, "/var/lib/vdpk/packages.db");
        // Two PATHs with the same tar and bzip2; only one offers lbzip2.
        linkTools(withLbzip2(), {"tar", "bzip2", "lbzip2"});
        linkTools(withoutLbzip2(), {"tar", "bzip2"});
    }

    fs::path withLbzip2() const { return box.root() / "path with lbzip2"; }
    fs::path withoutLbzip2() const { return box.root() / "path without"; }
    fs::path databaseIn(fs::path const& prefix) const { return prefix / "var/lib/vdpk/packages.db"; }

    static void linkTools(fs::path const& dir, std::vector<std::string> const& tools)
    {
        fs::create_directories(dir);
        for (auto const& tool : tools) {
            RunResult const found = runShell("command -v " + tool);
            ASSERT_EQ(found.status, 0) << tool << " is not installed";
            fs::create_symlink(found.out.substr(0, found.out.find('\n')), dir / tool);
        }
    }

    // The staged package: modes, a symlink, a name needing quotes, an empty
    // directory and enough noise for several compressed blocks.
    fs::path stage() const
    {
        PackageSpec spec;
        spec.name = "tools";
        spec.version = "3.1";
        spec.depends = {};
        spec.files = {{"usr/bin/tool", "#!/bin/sh\necho tool\n"},
                      {"etc/tools/secret", "key\n"},
                      {"usr/share/tools/it's a \"doc\" $(x)", "doc\n"},
                      {"usr/share/tools/noise.bin", incompressibleData(2'500'000)}};
        spec.symlinks = {{"usr/bin/tool-link", "tool"}};
        spec.dirs = {"usr/share/tools/empty"};
        fs::path const staging = box.root() / "staging";
        stagePackage(staging, spec);
        fs::permissions(staging / "files/usr/bin/tool", fs::perms(0750));
        fs::permissions(staging / "files/etc/tools/secret", fs::perms(0600));
        fs::permissions(staging / "files/usr/share/tools", fs::perms(0705));
        return staging;
    }

    // Packs the staged tree with tar's own member list after -C.
    fs::path pack(fs::path const& staging, std::string const& members, std::string const& fileName) const
    {
        fs::path const archive = box.root() / "archives dir" / fileName;
        fs::create_directories(archive.parent_path());
        RunResult const r = runShell(fmt::format("tar -cjf {} -C {} {}", shellQuote(archive.string()),
                                                 shellQuote(staging.string()), members));
        EXPECT_EQ(r.status, 0) << r.err;
        return archive;
    }

    RunResult install(fs::path const& archive, fs::path const& pathDir, fs::path const& prefix) const
    {
        return box.vdpkWith({"--install", "--file", archive.string()}, {.env = {{"PATH", pathDir.string()}}},
                            prefix);
    }

    // Every entry below the prefix except the database and its lock.
    static TreeSnapshot tree(fs::path const& prefix)
    {
        TreeSnapshot entries = snapshotTree(prefix);
        std::erase_if(entries, [](auto const& entry) { return entry.first.starts_with("var/lib/vdpk"); });
        return entries;
    }

    static std::vector<std::string> commandLines(std::string const& err)
    {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1)
            if (err.compare(start, 7, "tar -xf") == 0)
                lines.push_back(err.substr(start, end - start));
        return lines;
    }

    VdpkSandbox box;
};

TEST_F(VdpkDecompressor, InstallsTheSameFilesModesAndRowsWithAndWithoutLbzip2)
{
    fs::path const archive = pack(stage(), ".", "tools-3.1-x64.vdpk.tar.bz2");
    fs::path const parallel = box.root() / "with";
    fs::path const plain = box.root() / "without";

    RunResult const a = install(archive, withLbzip2(), parallel);
    ASSERT_EQ(a.status, 0) << a.err;
    RunResult const b = install(archive, withoutLbzip2(), plain);
    ASSERT_EQ(b.status, 0) << b.err;

    // The command line as run, each time.
    std::string const quoted = shellQuote(archive.string());
    EXPECT_THAT(commandLines(a.err), ::testing::Contains("tar -xf " + quoted + " -I lbzip2"));
    EXPECT_THAT(commandLines(b.err), ::testing::Contains("tar -xf " + quoted));
    EXPECT_THAT(b.err, ::testing::Not(HasSubstr("lbzip2")));

    auto const files = tree(parallel);
    EXPECT_EQ(treeDifference(files, tree(plain)), "");
    EXPECT_EQ(files.at("usr/bin/tool"), "file 750 0:0 n1 #!/bin/sh\necho tool\n");
    EXPECT_EQ(files.at("etc/tools/secret"), "file 600 0:0 n1 key\n");
    EXPECT_EQ(files.at("usr/bin/tool-link"), "link 777 0:0 n1 -> tool");
    EXPECT_EQ(files.at("usr/share/tools/empty"), "dir 755 0:0 n2");
    EXPECT_TRUE(files.at("usr/share/tools/noise.bin") == "file 644 0:0 n1 " + incompressibleData(2'500'000));

    // The install times differ between the two runs; everything else is the same.
    for (auto const& root : {parallel, plain}) {
        SQLite::Database db(databaseIn(root).string(), SQLite::OPEN_READWRITE);
        db.exec("UPDATE package_detail SET installed_at = 0");
    }
    auto const rows = databaseDump(databaseIn(parallel));
    EXPECT_EQ(rows, databaseDump(databaseIn(plain)));
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](auto const& row) { return row.rfind("file_detail ", 0) == 0; }),
              5);
    EXPECT_EQ(
        std::count_if(rows.begin(), rows.end(), [](auto const& row) { return row.rfind("file ", 0) == 0; }),
        5);
}

TEST_F(VdpkDecompressor, AManifestStoredWithoutTheDotPrefixIsFound)
{
    fs::path const staging = stage();
    fs::path const archive = pack(staging, "files package.yml", "tools-3.1-x64.vdpk.tar.bz2");
    ASSERT_EQ(runShell("tar -tjf " + shellQuote(archive.string()) + " | grep -x package.yml").status, 0);

    for (fs::path const& pathDir : {withLbzip2(), withoutLbzip2()}) {
        fs::path const prefix = box.root() / pathDir.filename();
        RunResult const r = install(archive, pathDir, prefix);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(prefix / "usr/bin/tool"), "#!/bin/sh\necho tool\n");
        EXPECT_THAT(box.vdpk({"--list"}, {}, prefix).out, "tools\n");
    }
}

TEST_F(VdpkDecompressor, DamageBehindTheManifestStopsTheInstallBeforeAnythingIsCopied)
{
    // The manifest comes first; the noise fills later compressed blocks, and
    // the cut lands in one of those.
    fs::path const archive = pack(stage(), "./package.yml ./files", "tools-3.1-x64.vdpk.tar.bz2");
    fs::resize_file(archive, fs::file_size(archive) * 2 / 3);

    for (fs::path const& pathDir : {withoutLbzip2(), withLbzip2()}) {
        fs::path const prefix = box.root() / pathDir.filename();
        RunResult const r = install(archive, pathDir, prefix);
        EXPECT_EQ(r.status, 1) << r.err;
        std::string const failedUnpack =
            fmt::format("Error: Failed to unpack package '{}': tar exited with status 2\n", archive.string());
        std::string const failedInspection =
            fmt::format("Error: Failed to inspect package '{}'\n", archive.string());
        if (pathDir == withoutLbzip2()) {
            // The inspection read only the first block and let the install find the damage.
            EXPECT_THAT(r.err, HasSubstr(failedUnpack));
        } else {
            // lbzip2 may see the cut before tar has read the manifest.
            EXPECT_THAT(r.err, ::testing::AnyOf(HasSubstr(failedUnpack), HasSubstr(failedInspection)));
        }
        EXPECT_FALSE(fs::exists(prefix / "usr")) << pathDir;
        EXPECT_FALSE(fs::exists(prefix / "etc")) << pathDir;
        EXPECT_EQ(box.vdpk({"--list"}, {}, prefix).out, "");
    }
}

} // namespace
} // namespace Vandrel::Test
