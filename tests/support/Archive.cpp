#include "tests/support/Archive.hpp"

#include "core/ShellQuote.hpp"

#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <fmt/format.h>

#include <fstream>
#include <stdexcept>

namespace Vandrel::Test {

namespace fs = std::filesystem;

std::string manifestText(PackageSpec const& spec)
{
    std::string text = fmt::format("name: {}\nos: {}\nversion: {}\narch: {}\n", yamlQuote(spec.name),
                                   yamlQuote(spec.os), yamlQuote(spec.version), yamlQuote(spec.arch));
    if (!spec.depends.empty()) {
        text += "depends:\n";
        for (auto const& d : spec.depends)
            text += "  - " + yamlQuote(d) + "\n";
    }
    return text;
}

void stagePackage(fs::path const& stagingDir, PackageSpec const& spec)
{
    fs::create_directories(stagingDir);
    if (spec.withManifest)
        std::ofstream(stagingDir / "package.yml", std::ios::binary)
            << (spec.rawManifest.empty() ? manifestText(spec) : spec.rawManifest);
    if (!spec.withFilesDir)
        return;
    fs::path files = stagingDir / "files";
    fs::create_directories(files);
    for (auto const& d : spec.dirs)
        fs::create_directories(files / d);
    for (auto const& [path, content] : spec.files) {
        fs::create_directories((files / path).parent_path());
        std::ofstream(files / path, std::ios::binary) << content;
    }
    for (auto const& [path, target] : spec.symlinks) {
        fs::create_directories((files / path).parent_path());
        fs::create_symlink(target, files / path);
    }
    for (auto const& [path, existing] : spec.hardLinks) {
        fs::create_directories((files / path).parent_path());
        fs::create_hard_link(files / existing, files / path);
    }
}

void packDirectory(fs::path const& stagingDir, fs::path const& archive)
{
    fs::create_directories(archive.parent_path());
    auto r = runShell(
        fmt::format("tar -cjf {} -C {} .", shellQuote(archive.string()), shellQuote(stagingDir.string())));
    if (r.status != 0)
        throw std::runtime_error("packing failed: " + r.err);
}

std::string archiveFileName(PackageSpec const& spec)
{
    return fmt::format("{}-{}-x64.vdpk.tar.bz2", spec.name, spec.version);
}

fs::path makeArchive(fs::path const& outDir, PackageSpec const& spec)
{
    fs::path staging = outDir / (".stage-" + spec.name + "-" + spec.version);
    fs::remove_all(staging);
    stagePackage(staging, spec);
    fs::path archive = outDir / archiveFileName(spec);
    packDirectory(staging, archive);
    fs::remove_all(staging);
    return archive;
}

fs::path publishPackage(fs::path const& repoRoot, std::string const& osDir, PackageSpec const& spec)
{
    fs::path dir = osDir.empty() ? repoRoot : repoRoot / osDir;
    return makeArchive(dir / spec.name / spec.version, spec);
}

std::string incompressibleData(std::size_t size, std::uint64_t seed)
{
    std::string bytes(size, '\0');
    std::uint64_t state = seed == 0 ? 1 : seed;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        // The low byte of the plain xorshift state still shrinks by several
        // percent; the top byte of the scrambled state does not.
        byte = static_cast<char>((state * 0x2545F4914F6CDD1Dull) >> 56);
    }
    return bytes;
}

} // namespace Vandrel::Test
