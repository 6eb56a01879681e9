#include "vdpk/PackageFetcher.hpp"

#include "vdpk/PackageFetcherSession.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <fstream>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// True when path, lexically normalised, lies strictly below root.
bool isStrictlyBelow(fs::path const& root, fs::path const& path)
{
    fs::path const normalRoot = root.lexically_normal();
    fs::path const normalPath = path.lexically_normal();
    auto it = normalPath.begin();
    if (normalRoot != ".") {
        for (auto const& part : normalRoot) {
            if (part.empty()) // the trailing separator of "dir/"
                continue;
            if (it == normalPath.end() || *it != part)
                return false;
            ++it;
        }
    }
    if (it == normalPath.end() || *it == ".." || *it == "." || it->empty())
        return false;
    return true;
}

// Transfer callbacks. Nothing may be thrown through libcurl: a failure is
// reported by consuming fewer bytes than offered, which aborts the transfer.

// A listing being received; an endless one must end in an error, not in the
// memory running out.
struct ListingText {
    std::string text;
    bool tooLarge = false;
};

std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* listing = static_cast<ListingText*>(target);
    std::size_t const bytes = size * count;
    if (bytes > PackageFetcher::maxListingBytes - listing->text.size()) {
        listing->tooLarge = true;
        return 0;
    }
    try {
        listing->text.append(data, bytes);
    } catch (std::bad_alloc const&) {
        return 0;
    }
    return bytes;
}

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* out = static_cast<std::ofstream*>(target);
    out->write(data, static_cast<std::streamsize>(size * count));
    return out->fail() ? 0 : size * count;
}

} // namespace

PackageFetcher::PackageFetcher(PkgConfig const& config) : PackageFetcher(config, Limits{}) {}

PackageFetcher::PackageFetcher(PkgConfig const& config, Limits limits)
    : config(config), session(std::make_unique<Session>(limits))
{
}

PackageFetcher::~PackageFetcher() = default;
PackageFetcher::PackageFetcher(PackageFetcher&&) noexcept = default;
PackageFetcher& PackageFetcher::operator=(PackageFetcher&&) noexcept = default;

std::string PackageFetcher::trimTrailingSlash(std::string text)
{
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

std::string PackageFetcher::joinUrl(std::string const& base, std::string const& name)
{
    return fmt::format("{}/{}", trimTrailingSlash(base), name);
}

std::string PackageFetcher::packageFileName(std::string const& name, std::string const& version)
{
    return fmt::format("{}-{}-{}.vdpk.tar.bz2", name, version, Package::archToString(CpuArch::x64));
}

std::string PackageFetcher::fetchText(std::string const& url) const
{
    ListingText listing;
    auto const transfer = session->http.perform(url, appendToString, &listing);
    session->redirectedTo = transfer.redirectedTo;
    if (transfer.result != CURLE_OK) {
        std::string const reason = listing.tooLarge
                                       ? fmt::format("response larger than {} bytes", maxListingBytes)
                                       : HttpSession::describe(transfer.result);
        throw std::runtime_error(fmt::format("Failed to fetch '{}': {}", url, reason));
    }
    return std::move(listing.text);
}

std::optional<std::string> PackageFetcher::fetchOptionalText(std::string const& url) const
{
    ListingText body;
    auto const transfer = session->http.perform(url, appendToString, &body);
    if (transfer.result == CURLE_HTTP_RETURNED_ERROR && transfer.status == 404)
        return std::nullopt;
    if (transfer.result != CURLE_OK) {
        std::string const reason = body.tooLarge
                                       ? fmt::format("response larger than {} bytes", maxListingBytes)
                                       : HttpSession::describe(transfer.result);
        throw std::runtime_error(fmt::format("Failed to fetch '{}': {}", url, reason));
    }
    return std::move(body.text);
}

void PackageFetcher::downloadFile(std::string const& url, fs::path const& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open())
        throw std::runtime_error(fmt::format("Failed to open '{}' for writing", path.string()));

    auto removePartial = [&] {
        std::error_code ignored;
        fs::remove(path, ignored);
    };
    // Progress on a terminal only: logs and pipes get no extra output.
    std::optional<DownloadProgress> progress;
    if (::isatty(STDERR_FILENO) == 1)
        progress.emplace(fs::path(url).filename().string());
    int result = CURLE_OK;
    try {
        result = session->http.perform(url, writeToFile, &out, progress ? &*progress : nullptr).result;
    } catch (...) {
        out.close();
        removePartial();
        throw;
    }
    std::streamoff const received = out.tellp();
    out.close();
    if (progress)
        progress->finish(received > 0 ? received : 0);
    // The last buffered bytes are written by close(); losing them must not
    // leave a truncated archive that looks complete.
    if (result == CURLE_OK && out.fail())
        result = CURLE_WRITE_ERROR;
    if (result != CURLE_OK) {
        removePartial();
        throw std::runtime_error(
            fmt::format("Failed to download '{}': {}", url, HttpSession::describe(result)));
    }
}

std::vector<PackageFetcher::RepoEntry> PackageFetcher::listDirectory(std::string const& url) const
{
    if (auto known = session->listings.find(url); known != session->listings.end())
        return known->second;
    auto entries = readListing(url);
    session->listings.emplace(url, entries);
    return entries;
}

std::vector<PackageFetcher::RepoEntry> PackageFetcher::readListing(std::string const& url) const
{
    try {
        std::string const slashed = trimTrailingSlash(url) + "/";
        // Saves the redirect that a server answering like the others would send.
        auto entries = parseDirectoryEntries(fetchText(session->directoriesEndInSlash ? slashed : url));
        if (session->redirectedTo == slashed)
            session->directoriesEndInSlash = true;
        if (!entries.empty())
            return entries;
    } catch (std::runtime_error const&) {
        // Servers that cannot list a directory may still serve its index.html.
    }
    return parseDirectoryEntries(fetchText(joinUrl(url, "index.html")));
}

fs::path PackageFetcher::cachePath(fs::path const& relativePath) const
{
    fs::path const root = config.pkgRepoCachePath;
    fs::path const local = root / relativePath;
    // The last guard: whatever the names were, nothing is written outside the cache.
    if (relativePath.has_root_path() || !isStrictlyBelow(root, local))
        throw std::runtime_error(fmt::format("Refusing cache path '{}' outside the package cache '{}'",
                                             relativePath.string(), config.pkgRepoCachePath));
    return local;
}

fs::path PackageFetcher::fetch(std::string const& name) const
{
    // The repository is consulted even when something is cached: the newest
    // version decides which file is wanted.
    fs::path const rel = resolvePackageRelativePath(name);
    fs::path const local = cachePath(rel);
    if (!fs::exists(local)) {
        fs::create_directories(local.parent_path());
        fs::path const part = local.string() + ".part";
        std::string const url = joinUrl(trimTrailingSlash(config.pkgRepoUrl), rel.generic_string());
        downloadFile(url, part);
        // Only a complete download ever appears under the final name.
        fs::rename(part, local);
    }
    if (verifiesSignatures()) {
        fetchSignature(rel, local);
        try {
            verifyArchive(local, name);
        } catch (...) {
            // A refused archive is not kept: the next run downloads it again
            // instead of refusing the same cached copy for ever.
            std::error_code ignored;
            fs::remove(local, ignored);
            fs::remove(local.string() + ".minisig", ignored);
            throw;
        }
    }
    return local;
}

void PackageFetcher::setTrustedKeys(std::vector<Signature::PublicKey> keys)
{
    trustedKeys = std::move(keys);
}

void PackageFetcher::fetchSignature(fs::path const& rel, fs::path const& local) const
{
    fs::path const signature = local.string() + ".minisig";
    std::string const url = joinUrl(trimTrailingSlash(config.pkgRepoUrl), rel.generic_string() + ".minisig");
    std::optional<std::string> const text = fetchOptionalText(url);
    if (!text) {
        fs::remove(signature);
        return;
    }
    fs::path const part = signature.string() + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << *text;
        out.close();
        if (!out)
            throw std::runtime_error(fmt::format("Failed to open '{}' for writing", part.string()));
    }
    fs::rename(part, signature);
}

void PackageFetcher::verifyArchive(fs::path const& archive, std::string const& name) const
{
    if (!verifiesSignatures())
        return;
    Signature::verifyFile(archive, archive.string() + ".minisig", trustedKeys, Signature::Subject::package,
                          name, archive.filename().string());
}

} // namespace Vandrel::Linux
