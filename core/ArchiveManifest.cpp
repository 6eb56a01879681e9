#include "core/ArchiveManifest.hpp"

#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"

#include "core/ScopeGuard.hpp"

#include <bzlib.h>
#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The largest manifest read in-process; a larger one is left to tar.
constexpr std::size_t maxManifestBytes = 1 << 20;
// Archives up to this size are read in-process: their first bzip2 block is
// most or all of them, so decoding it costs less than starting bash and tar.
// A larger one is read by tar, which with lbzip2 decodes its first blocks on
// every core and stops as soon as it has the member.
constexpr std::uintmax_t maxInProcessArchiveBytes = 256 * 1024;

// The content of the archive's first member when it is a regular file named
// "./package.yml" or "package.yml" in a bzip2 stream; nothing otherwise (not
// bzip2, another first member, anything unusual), and tar then decides. Only
// the first bzip2 block is decompressed for a small manifest.
std::optional<std::string> firstMemberManifest(fs::path const& archive)
{
    std::ifstream in(archive, std::ios::binary);
    if (!in.is_open())
        return std::nullopt;
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        return std::nullopt;
    ScopeGuard const end([&] { BZ2_bzDecompressEnd(&stream); });

    std::array<char, 16384> input{};
    std::string output;
    std::size_t wanted = 512; // the first header, then header + content
    bool sized = false;
    while (true) {
        if (stream.avail_in == 0) {
            in.read(input.data(), input.size());
            std::streamsize const got = in.gcount();
            if (got <= 0)
                return std::nullopt;
            stream.next_in = input.data();
            stream.avail_in = static_cast<unsigned>(got);
        }
        std::size_t const before = output.size();
        output.resize(wanted);
        stream.next_out = output.data() + before;
        stream.avail_out = static_cast<unsigned>(wanted - before);
        int const status = BZ2_bzDecompress(&stream);
        output.resize(wanted - stream.avail_out);
        if (status != BZ_OK && status != BZ_STREAM_END)
            return std::nullopt;
        if (output.size() == wanted) {
            if (sized)
                break;
            // A ustar header: name, mode, uid, gid, size (octal), ...
            std::string_view const header(output.data(), 512);
            std::string_view name = header.substr(0, 100);
            name = name.substr(0, name.find('\0'));
            char const type = header[156];
            bool const ustar = header.substr(257, 5) == "ustar";
            bool const noPrefix = !ustar || header[345] == '\0';
            if ((name != "./package.yml" && name != "package.yml") || (type != '0' && type != '\0') ||
                !noPrefix)
                return std::nullopt;
            std::size_t size = 0;
            for (char c : header.substr(124, 12)) {
                if (c == '\0' || c == ' ')
                    break;
                if (c < '0' || c > '7')
                    return std::nullopt;
                size = size * 8 + static_cast<std::size_t>(c - '0');
                if (size > maxManifestBytes)
                    return std::nullopt;
            }
            wanted = 512 + size;
            sized = true;
            if (output.size() == wanted)
                break;
            continue;
        }
        if (status == BZ_STREAM_END)
            return std::nullopt;
    }
    return output.substr(512);
}

} // namespace

Package readArchiveManifest(fs::path const& archive)
{
    TempDir unpackDir("vdpk-cli-");
    fs::path const abs = fs::absolute(archive);
    fs::path const manifest = unpackDir.path() / "package.yml";
    // The builder stores the manifest first: then neither tar nor the rest
    // of the stream is needed.
    std::error_code ec;
    std::uintmax_t const size = fs::file_size(abs, ec);
    if (auto const text = !ec && size <= maxInProcessArchiveBytes ? firstMemberManifest(abs) : std::nullopt) {
        {
            std::ofstream out(manifest, std::ios::binary | std::ios::trunc);
            out << *text;
        }
        Package package;
        package.load(manifest.string());
        return package;
    }
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
