#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace Vandrel::Test {

// Describes a package archive for tests: the manifest fields and the tree
// below "files".
struct PackageSpec {
    std::string name;
    std::string version = "1.0";
    std::string os = "linux";
    std::string arch = "x64";
    std::vector<std::string> depends;
    std::map<std::string, std::string> files;     // path below files/ -> content
    std::map<std::string, std::string> symlinks;  // path below files/ -> link target
    std::vector<std::string> dirs;                // empty directories below files/
    std::map<std::string, std::string> hardLinks; // path below files/ -> file of files it links to
    bool withManifest = true;
    bool withFilesDir = true;
    std::string rawManifest; // when set, written instead of the generated manifest
};

// The manifest text generated for a spec.
std::string manifestText(PackageSpec const& spec);

// Lays the package out (package.yml and files/) in stagingDir, which is created.
void stagePackage(std::filesystem::path const& stagingDir, PackageSpec const& spec);

// Packs a staged directory the way the builder does: tar -cjf ARCHIVE -C DIR .
void packDirectory(std::filesystem::path const& stagingDir, std::filesystem::path const& archive);

// "{name}-{version}-x64.vdpk.tar.bz2"
std::string archiveFileName(PackageSpec const& spec);

// Stages and packs a spec into outDir; returns the archive path.
std::filesystem::path makeArchive(std::filesystem::path const& outDir, PackageSpec const& spec);

// Publishes a spec into a repository tree: root/[os/]name/version/archive.
// An empty osDir puts the package directly below root.
std::filesystem::path publishPackage(std::filesystem::path const& repoRoot, std::string const& osDir,
                                     PackageSpec const& spec);

// Bytes that bzip2 cannot shrink (a fixed pseudo-random sequence per seed), so
// that an archive is as large as its content and spans several bzip2 blocks.
std::string incompressibleData(std::size_t size, std::uint64_t seed = 88172645463325252ull);

} // namespace Vandrel::Test
