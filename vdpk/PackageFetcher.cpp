#include "vdpk/PackageFetcher.hpp"

#include "core/Package.hpp"
#include "core/VersionUtils.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The bytes \s stands for in the href pattern (the C locale's space class).
bool isPatternSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

// Calls visit with the capture of every non-overlapping match of
// href\s*=\s*["']([^"']+)["'], left to right. At any start the pattern has a
// single way to match (no part of it can give back what it consumed), so
// trying each "href" in turn finds exactly the matches a regex search finds,
// in linear time and constant stack.
template <typename Visitor> void forEachHrefTarget(std::string_view text, Visitor&& visit)
{
    std::size_t const size = text.size();
    std::size_t pos = 0;
    while ((pos = text.find("href", pos)) != std::string_view::npos) {
        std::size_t i = pos + 4;
        while (i < size && isPatternSpace(text[i]))
            ++i;
        if (i == size || text[i] != '=') {
            ++pos;
            continue;
        }
        ++i;
        while (i < size && isPatternSpace(text[i]))
            ++i;
        if (i == size || !isQuote(text[i])) {
            ++pos;
            continue;
        }
        std::size_t const start = i + 1;
        std::size_t const end = text.find_first_of("\"'", start);
        // Without a quote after the opening one no later start can match either.
        if (end == std::string_view::npos)
            return;
        if (end == start) {
            ++pos;
            continue;
        }
        visit(text.substr(start, end - start));
        pos = end + 1;
    }
}

// A name that becomes one component of a cache path: a package, version or
// OS directory name. "." and ".." would move the path, "/" would add levels.
bool isSinglePathComponent(std::string const& text)
{
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos &&
           text.find('\0') == std::string::npos;
}

void requirePackageName(std::string const& name)
{
    if (name.empty())
        throw std::runtime_error("Package name cannot be empty");
    if (!isSinglePathComponent(name))
        throw std::runtime_error(fmt::format("Invalid package name '{}'", name));
}

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

// A byte count the way a person reads it: "512 B", "4.0 KiB", "12.5 MiB".
std::string humanBytes(double bytes)
{
    static constexpr char const* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, units[0])
                     : fmt::format("{:.1f} {}", bytes, units[unit]);
}

// The progress of one archive download on one line of a terminal, redrawn
// in place at most ten times a second and ended with a newline.
class DownloadProgress {
  public:
    explicit DownloadProgress(std::string name) : name(std::move(name)) {}

    // Called from libcurl's progress callback: must not throw.
    void update(curl_off_t received, curl_off_t total) noexcept
    {
        auto const now = std::chrono::steady_clock::now();
        if (shown && now - lastDrawn < std::chrono::milliseconds(100))
            return;
        lastDrawn = now;
        draw(received, total);
    }

    // The final state, then the end of the line.
    void finish(curl_off_t received) noexcept
    {
        draw(received, 0);
        try {
            std::cerr << '\n' << std::flush;
        } catch (...) {
        }
    }

  private:
    void draw(curl_off_t received, curl_off_t total) noexcept
    {
        try {
            double const seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::string line = fmt::format("{}  {}", name, humanBytes(static_cast<double>(received)));
            if (total > 0 && total != received)
                line += fmt::format(" of {}", humanBytes(static_cast<double>(total)));
            if (seconds > 0)
                line += fmt::format("  {}/s", humanBytes(static_cast<double>(received) / seconds));
            // Blanks over what a longer earlier line left behind.
            std::size_t const length = line.size();
            if (length < drawnLength)
                line.append(drawnLength - length, ' ');
            drawnLength = length;
            std::cerr << '\r' << line << std::flush;
            shown = true;
        } catch (...) {
        }
    }

    std::string name;
    std::chrono::steady_clock::time_point const started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDrawn;
    std::size_t drawnLength = 0;
    bool shown = false;
};

} // namespace

// One easy handle for every request of the fetcher, so that libcurl keeps the
// connection to the repository open between them, and the clock of how long
// the repository has been silent, which runs across requests.
class PackageFetcher::Session {
  public:
    explicit Session(Limits limits) : limits(limits) {}
    ~Session()
    {
        if (handle) {
            curl_easy_cleanup(handle);
            curl_global_cleanup();
        }
    }
    Session(Session const&) = delete;
    Session& operator=(Session const&) = delete;

    // One request; the redirect it followed, if any, is in redirectedTo.
    CURLcode perform(std::string const& url, curl_write_callback callback, void* target)
    {
        using namespace std::chrono;
        redirectedTo.clear();
        if (quiet >= seconds(limits.quietSeconds))
            return CURLE_OPERATION_TIMEDOUT;
        CURL* curl = easyHandle();
        // Resetting the options keeps the open connections.
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, callback);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, target);
        // Connecting is silence too: it may take no longer than what is left.
        auto const left = duration_cast<milliseconds>(seconds(limits.quietSeconds) - quiet).count();
        long const connectMs =
            std::max(1L, std::min(limits.connectTimeoutSeconds * 1000L, static_cast<long>(left)));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
        // Time-outs must not be implemented with signals in a threaded process.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // libcurl calls this about once a second even while nothing arrives.
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Session::onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

        lastTick = steady_clock::now();
        lastReceived = 0;
        lastSent = 0;
        quietTooLong = false;
        CURLcode result = curl_easy_perform(curl);
        if (result == CURLE_ABORTED_BY_CALLBACK && quietTooLong)
            result = CURLE_OPERATION_TIMEDOUT;
        // A complete answer, an HTTP error included, shows the server alive;
        // after a failure the silence since the last progress report counts.
        if (result == CURLE_OK || result == CURLE_HTTP_RETURNED_ERROR)
            quiet = steady_clock::duration::zero();
        else
            quiet += steady_clock::now() - lastTick;

        lastStatus = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &lastStatus);
        long redirects = 0;
        char* effective = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK && redirects > 0 &&
            curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            redirectedTo = effective;
        return result;
    }

    // The HTTP status of the last request's answer (0 without one).
    long lastStatus = 0;
    Limits const limits;
    // Listings already read, by the URL they were asked for.
    std::map<std::string, std::vector<RepoEntry>> listings;
    // Set once the server has redirected a directory to its form with a
    // trailing slash: later directories are asked for in that form at once.
    bool directoriesEndInSlash = false;
    std::string redirectedTo;
    // Shown while an archive downloads to a terminal; null otherwise.
    DownloadProgress* progress = nullptr;

  private:
    CURL* easyHandle()
    {
        if (handle)
            return handle;
        if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
            throw std::runtime_error("curl_global_init failed");
        handle = curl_easy_init();
        if (!handle) {
            curl_global_cleanup();
            throw std::runtime_error("curl_easy_init failed");
        }
        return handle;
    }

    // Nothing may be thrown through libcurl; a non-zero return aborts.
    static int onProgress(void* data, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t sent)
    {
        auto* self = static_cast<Session*>(data);
        if (self->progress != nullptr && received > 0)
            self->progress->update(received, total);
        auto const now = std::chrono::steady_clock::now();
        if (received != self->lastReceived || sent != self->lastSent) {
            self->lastReceived = received;
            self->lastSent = sent;
            self->quiet = std::chrono::steady_clock::duration::zero();
        } else {
            self->quiet += now - self->lastTick;
        }
        self->lastTick = now;
        if (self->quiet >= std::chrono::seconds(self->limits.quietSeconds)) {
            self->quietTooLong = true;
            return 1;
        }
        return 0;
    }

    CURL* handle = nullptr;
    std::chrono::steady_clock::duration quiet{};
    std::chrono::steady_clock::time_point lastTick;
    curl_off_t lastReceived = 0;
    curl_off_t lastSent = 0;
    bool quietTooLong = false;
};

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

std::vector<std::string> PackageFetcher::findHrefTargets(std::string_view text)
{
    std::vector<std::string> targets;
    forEachHrefTarget(text, [&](std::string_view target) { targets.emplace_back(target); });
    return targets;
}

std::vector<PackageFetcher::RepoEntry> PackageFetcher::parseDirectoryEntries(std::string const& text)
{
    std::vector<RepoEntry> entries;
    forEachHrefTarget(text, [&](std::string_view link) {
        if (link.empty())
            return;
        link = link.substr(0, link.find('#'));
        if (link.empty())
            return;
        link = link.substr(0, link.find('?'));
        if (link.empty())
            return;
        if (link == ".." || link == "../")
            return;
        bool isDirectory = false;
        if (link.back() == '/') {
            link.remove_suffix(1);
            isDirectory = true;
            if (link.empty())
                return;
        }
        if (link.size() > 2 && link.find("://") != std::string_view::npos)
            return;
        if (link.front() == '/')
            return;
        entries.push_back(RepoEntry{std::string(link), isDirectory});
    });
    return entries;
}

std::string PackageFetcher::fetchText(std::string const& url) const
{
    ListingText listing;
    CURLcode const result = session->perform(url, appendToString, &listing);
    if (result != CURLE_OK) {
        std::string const reason = listing.tooLarge
                                       ? fmt::format("response larger than {} bytes", maxListingBytes)
                                       : std::string(curl_easy_strerror(result));
        throw std::runtime_error(fmt::format("Failed to fetch '{}': {}", url, reason));
    }
    return std::move(listing.text);
}

std::optional<std::string> PackageFetcher::fetchOptionalText(std::string const& url) const
{
    ListingText body;
    CURLcode const result = session->perform(url, appendToString, &body);
    if (result == CURLE_HTTP_RETURNED_ERROR && session->lastStatus == 404)
        return std::nullopt;
    if (result != CURLE_OK) {
        std::string const reason = body.tooLarge
                                       ? fmt::format("response larger than {} bytes", maxListingBytes)
                                       : std::string(curl_easy_strerror(result));
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
    session->progress = progress ? &*progress : nullptr;
    CURLcode result = CURLE_OK;
    try {
        result = session->perform(url, writeToFile, &out);
    } catch (...) {
        session->progress = nullptr;
        out.close();
        removePartial();
        throw;
    }
    session->progress = nullptr;
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
        throw std::runtime_error(fmt::format("Failed to download '{}': {}", url, curl_easy_strerror(result)));
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

std::string PackageFetcher::resolveLatestVersion(std::string const& packageUrl) const
{
    std::vector<std::string> versions;
    for (auto const& entry : listDirectory(packageUrl))
        if (entry.isDirectory)
            versions.push_back(entry.name);
    if (versions.empty())
        throw std::runtime_error(fmt::format("No package versions found at '{}'", packageUrl));

    // Every other name is compared, so each of two or more is checked as a version.
    std::string newest = versions.front();
    for (std::size_t i = 1; i < versions.size(); ++i)
        if (VersionUtils::compareVersions(versions[i], newest) > 0)
            newest = versions[i];
    // A lone version directory is taken unchecked, but it still becomes a
    // component of the cache path.
    if (!isSinglePathComponent(newest))
        throw std::runtime_error(
            fmt::format("Invalid package version '{}' found at '{}'", newest, packageUrl));
    return newest;
}

fs::path PackageFetcher::resolveInsideOsDirectory(std::string const& osDir, std::string const& name) const
{
    requirePackageName(name);
    if (!osDir.empty() && !isSinglePathComponent(osDir))
        throw std::runtime_error(fmt::format("Invalid repository OS directory '{}'", osDir));
    std::string const rel = osDir.empty() ? name : osDir + "/" + name;
    std::string const version = resolveLatestVersion(joinUrl(config.pkgRepoUrl, rel));
    return fs::path(rel) / version / packageFileName(name, version);
}

fs::path PackageFetcher::resolveInBaseDirectory(std::string const& name) const
{
    for (auto const& entry : listDirectory(trimTrailingSlash(config.pkgRepoUrl)))
        if (entry.isDirectory && entry.name == name)
            return resolveInsideOsDirectory("", name);
    return {};
}

fs::path PackageFetcher::resolvePackageRelativePath(std::string const& name) const
{
    requirePackageName(name);
    fs::path inBase = resolveInBaseDirectory(name);
    if (!inBase.empty())
        return inBase;

    std::vector<std::string> scanned;
    std::vector<std::string> found;
    for (auto const& os : listDirectory(trimTrailingSlash(config.pkgRepoUrl))) {
        // An OS directory becomes a component of the cache path: a link like
        // "../../x/" or "./" names no directory of the repository and would
        // lead outside the cache, so it is not one.
        if (!os.isDirectory || !isSinglePathComponent(os.name))
            continue;
        // Listings may link a directory twice (icon and name); it is still one.
        if (std::find(scanned.begin(), scanned.end(), os.name) != scanned.end())
            continue;
        scanned.push_back(os.name);
        for (auto const& entry : listDirectory(joinUrl(config.pkgRepoUrl, os.name))) {
            if (entry.isDirectory && entry.name == name) {
                found.push_back(os.name);
                break;
            }
        }
    }
    if (found.size() > 1)
        throw std::runtime_error(
            fmt::format("Package '{}' was found in multiple repository OS directories", name));
    if (found.empty())
        throw std::runtime_error(
            fmt::format("Package '{}' was not found in repository '{}'", name, config.pkgRepoUrl));
    return resolveInsideOsDirectory(found.front(), name);
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
