#include "core/ArchiveManifest.hpp"

#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

Package readArchiveManifest(fs::path const& archive)
{
    TempDir unpackDir("vdpk-cli-");
    fs::path const abs = fs::absolute(archive);
    fs::path const manifest = unpackDir.path() / "package.yml";
    // Both paths are quoted as single words, so any archive path reaches tar intact.
    std::string const unpack = fmt::format("tar -xf {} -C {}{}", shellQuote(localArchiveName(abs.string())),
                                           shellQuote(unpackDir.path().string()), tarDecompressOption(abs));
    auto const succeeds = [](std::string const& command) {
        ShellConfig shellConfig;
        shellConfig.timeout.reset();
        shellConfig.shell = "/bin/bash";
        shellConfig.verbose = false;
        shellConfig.mergeStderr = true;
        shellConfig.commandViaStdin = false;
        Shell shell(command, shellConfig);
        return shell.result().get().exitCode == 0;
    };

    // Only the manifest is read here; the install unpacks (and checks) the whole
    // archive later. With --occurrence tar stops reading once the member is
    // found, so a large archive is not decompressed twice, and one whose first
    // member is the manifest (as the builder packs them) only as far as that.
    // The builder stores it as "./package.yml"; other packers write
    // "package.yml", and tar matches member names literally.
    bool found = false;
    for (char const* member : {"./package.yml", "package.yml"}) {
        found = succeeds(fmt::format("{} --occurrence {}", unpack, member)) && fs::is_regular_file(manifest);
        if (found)
            break;
    }
    // Neither name (or a read error): unpack everything, so tar's own verdict
    // tells a damaged or missing archive from one without a manifest.
    if (!found && !succeeds(unpack))
        throw std::runtime_error(fmt::format("Failed to inspect package '{}'", abs.string()));

    Package package;
    package.load(manifest.string());
    return package;
}

} // namespace Vandrel::Linux
