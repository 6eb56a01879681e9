#pragma once

#include "core/PkgConfig.hpp"
#include "core/Signature.hpp"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vandrel::Linux {

// Turns a package name into a local archive: finds the package in the HTTP
// repository by reading its directory listings, picks the newest version and
// downloads the archive into the cache unless it is already there.
//
// Repository layout: base/name/version/file or base/os/name/version/file,
// file being packageFileName(name, version). The cache mirrors the relative
// path below pkgRepoCachePath.
//
// One fetcher serves one command: all its requests share one connection to
// the repository, and each directory listing is read at most once.
class PackageFetcher {
  public:
    // One link of a directory listing.
    struct RepoEntry {
        std::string name; // the link target, cleaned, not percent-decoded
        bool isDirectory = false;
    };

    // What keeps a silent repository from hanging the tool.
    struct Limits {
        // Connecting to the repository may take this long.
        long connectTimeoutSeconds = 30;
        // The repository may send nothing for this long while requests are
        // in flight, counted across all requests of the fetcher, so a server
        // that never answers ends the whole command in this time however many
        // requests it would have taken. Any byte received starts it afresh:
        // a slow download that keeps moving completes.
        long quietSeconds = 45;
    };

    explicit PackageFetcher(PkgConfig const& config);
    PackageFetcher(PkgConfig const& config, Limits limits);
    ~PackageFetcher();
    PackageFetcher(PackageFetcher&&) noexcept;
    PackageFetcher& operator=(PackageFetcher&&) noexcept;

    // Local path of the package's newest archive, downloaded if not cached.
    // With trusted keys its signature is fetched beside it and checked.
    std::filesystem::path fetch(std::string const& name) const;

    // With at least one key, every archive must carry a signature by one of
    // them (archive + ".minisig"); with none nothing is verified.
    void setTrustedKeys(std::vector<Signature::PublicKey> keys);
    bool verifiesSignatures() const { return !trustedKeys.empty(); }
    // Checks the signature beside a local archive, naming it as name in the
    // refusal; does nothing without trusted keys.
    void verifyArchive(std::filesystem::path const& archive, std::string const& name) const;

    // The newest archive's path relative to the repository base.
    std::filesystem::path resolvePackageRelativePath(std::string const& name) const;
    // As above when the package lives directly in the base, else empty.
    std::filesystem::path resolveInBaseDirectory(std::string const& name) const;
    // The newest archive of name inside osDir (empty: the base itself).
    std::filesystem::path resolveInsideOsDirectory(std::string const& osDir, std::string const& name) const;
    // The newest version directory listed at packageUrl.
    std::string resolveLatestVersion(std::string const& packageUrl) const;

    // The listing at url, or failing that, the listing in url's "index.html".
    // Read once per fetcher; later calls return what the first one read.
    std::vector<RepoEntry> listDirectory(std::string const& url) const;

    // pkgRepoCachePath joined with relativePath; throws if the result would
    // not lie below the cache directory.
    std::filesystem::path cachePath(std::filesystem::path const& relativePath) const;

    static std::vector<RepoEntry> parseDirectoryEntries(std::string const& text);
    // The raw link targets of every href attribute in text, in order: the
    // captures of href\s*=\s*["']([^"']+)["'] (case-sensitive), matched
    // without a regex engine so that neither the text nor a link is limited
    // in length.
    static std::vector<std::string> findHrefTargets(std::string_view text);

    // The body at url. Bodies beyond maxListingBytes are refused: listings
    // are held in memory whole.
    std::string fetchText(std::string const& url) const;
    static constexpr std::size_t maxListingBytes = std::size_t{256} << 20;
    void downloadFile(std::string const& url, std::filesystem::path const& path) const;
    // The body at url, or nothing when the server answers 404 Not Found;
    // every other failure throws as fetchText does.
    std::optional<std::string> fetchOptionalText(std::string const& url) const;

    static std::string joinUrl(std::string const& base, std::string const& name);
    static std::string packageFileName(std::string const& name, std::string const& version);
    static std::string trimTrailingSlash(std::string text);

  private:
    // The libcurl handle and what the fetcher learnt of the repository.
    class Session;

    std::vector<RepoEntry> readListing(std::string const& url) const;

    // Fetches the signature of the archive at relative path rel into the
    // cache beside local, afresh each run; removes a cached one the
    // repository no longer has.
    void fetchSignature(std::filesystem::path const& rel, std::filesystem::path const& local) const;

    PkgConfig config;
    std::unique_ptr<Session> session;
    std::vector<Signature::PublicKey> trustedKeys;
};

} // namespace Vandrel::Linux
