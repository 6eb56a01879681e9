#pragma once

#include "core/PkgConfig.hpp"
#include "core/RepositoryIndex.hpp"
#include "core/Signature.hpp"
#include "vdpk/DirectoryListing.hpp"
#include "vdpk/HttpSession.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vandrel::Linux {

// Turns a package name into a local archive: finds the package in the HTTP
// repository, from its index.yml when it has one, else by reading its
// directory listings, picks the newest version and downloads the archive into
// the cache unless it is already there.
//
// Repository layout: base/name/version/file or base/os/name/version/file,
// file being packageFileName(name, version). The cache mirrors the relative
// path below pkgRepoCachePath.
//
// One fetcher serves one command: all its requests share one connection to
// the repository, and each directory listing is read at most once.
class PackageFetcher {
  public:
    using RepoEntry = DirectoryListing::Entry;
    using Limits = HttpLimits;

    // Archives downloaded at once after the prompt, over reused connections.
    static constexpr std::size_t maxParallelDownloads = 4;
    // Below pkgRepoCachePath: the newest generation time of a signed index
    // accepted per repository URL, one "MICROSECONDS URL" line each.
    static constexpr char const* indexStateFileName = ".index-generations";

    explicit PackageFetcher(PkgConfig const& config);
    PackageFetcher(PkgConfig const& config, Limits limits);
    ~PackageFetcher();
    PackageFetcher(PackageFetcher&&) noexcept;
    PackageFetcher& operator=(PackageFetcher&&) noexcept;

    // Local path of the package's newest archive found through the
    // listings, downloaded if not cached. With trusted keys its signature is
    // fetched beside it and checked.
    std::filesystem::path fetch(std::string const& name) const;
    // Throws the error of an empty or invalid package name.
    static void checkPackageName(std::string const& name);

    // The repository's index.yml, asked for once per fetcher; null when the
    // repository has none (404). With trusted keys it must carry a valid
    // index.yml.minisig and be no older than the newest one accepted before
    // from the same repository URL.
    RepositoryIndex const* repositoryIndex() const;
    // The entry of name's newest version in the index (which must exist);
    // throws the message of a package missing from the repository.
    RepositoryIndexEntry const& indexEntry(std::string const& name) const;
    // The entry whose archive is cached at path, if any was handed out.
    RepositoryIndexEntry const* indexEntryAt(std::filesystem::path const& path) const;
    // Downloads the archives of entries that are not cached intact, up to
    // maxParallelDownloads at once, then checks every one against its entry.
    // A failure leaves none of the new downloads in the cache.
    void fetchIndexed(std::vector<RepositoryIndexEntry const*> const& entries) const;
    // Size, SHA-256 and manifest (name, version, dependencies) of a local
    // archive against entry: "Package '{}' does not match the repository index".
    static void checkAgainstIndex(std::filesystem::path const& archive, RepositoryIndexEntry const& entry);

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

    static std::vector<RepoEntry> parseDirectoryEntries(std::string const& text)
    {
        return DirectoryListing::parse(text);
    }
    static std::vector<std::string> findHrefTargets(std::string_view text)
    {
        return DirectoryListing::findHrefTargets(text);
    }

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
    // The HTTP session and what the fetcher learnt of the repository.
    struct Session;

    std::vector<RepoEntry> readListing(std::string const& url) const;

    // Fetches the signature of the archive at relative path rel into the
    // cache beside local, afresh each run; removes a cached one the
    // repository no longer has.
    void fetchSignature(std::filesystem::path const& rel, std::filesystem::path const& local) const;
    std::optional<RepositoryIndex> loadIndex() const;
    void verifyIndexSignature(std::string const& url, std::string const& text) const;
    void checkIndexGeneration(std::string const& url, std::int64_t generated) const;

    PkgConfig config;
    std::unique_ptr<Session> session;
    std::vector<Signature::PublicKey> trustedKeys;
};

} // namespace Vandrel::Linux
