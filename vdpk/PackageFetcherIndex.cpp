#include "vdpk/PackageFetcher.hpp"

#include "vdpk/PackageFetcherSession.hpp"

#include "core/ArchiveManifest.hpp"
#include "core/TempDir.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

// The fetcher's side of a repository index: reading and trusting it, and
// downloading and checking the archives it lists.
namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

void writeText(fs::path const& path, std::string const& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error(fmt::format("Failed to open '{}' for writing", path.string()));
}

[[noreturn]] void throwMismatch(RepositoryIndexEntry const& entry)
{
    throw std::runtime_error(fmt::format("Package '{}' does not match the repository index", entry.name));
}

std::size_t writeToStream(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* out = static_cast<std::ofstream*>(target);
    out->write(data, static_cast<std::streamsize>(size * count));
    return out->fail() ? 0 : size * count;
}

// An index being received, refused beyond the limit of every text body.
struct LimitedText {
    std::string text;
    bool tooLarge = false;
};

std::size_t appendLimited(char* data, std::size_t size, std::size_t count, void* target)
{
    auto* body = static_cast<LimitedText*>(target);
    std::size_t const bytes = size * count;
    if (bytes > PackageFetcher::maxListingBytes - body->text.size()) {
        body->tooLarge = true;
        return 0;
    }
    try {
        body->text.append(data, bytes);
    } catch (std::bad_alloc const&) {
        return 0;
    }
    return bytes;
}

bool isCachedIntact(fs::path const& local, RepositoryIndexEntry const& entry)
{
    std::error_code ec;
    if (!fs::is_regular_file(local, ec) || fs::file_size(local, ec) != entry.size || ec)
        return false;
    return sha256File(local) == entry.sha256;
}

} // namespace

RepositoryIndex const* PackageFetcher::repositoryIndex() const
{
    if (!session->index)
        session->index = loadIndex();
    return *session->index ? &**session->index : nullptr;
}

std::optional<RepositoryIndex> PackageFetcher::loadIndex() const
{
    std::string const url = joinUrl(trimTrailingSlash(config.pkgRepoUrl), RepositoryIndex::fileName);
    // The copy of the last run is asked for only if modified since; it is
    // checked (signature, generation) exactly like a fresh one.
    fs::path const cached = cachePath(RepositoryIndex::fileName);
    HttpSession::Transfer request{.url = url, .write = appendLimited, .target = nullptr};
    std::error_code ec;
    auto const cachedTime = fs::last_write_time(cached, ec);
    if (!ec)
        request.ifModifiedSince = std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::file_clock::to_sys(cachedTime).time_since_epoch())
                                      .count();
    LimitedText body;
    request.target = &body;
    std::vector<HttpSession::Transfer> one{std::move(request)};
    session->http.perform(one);
    HttpSession::Transfer const& answer = one.front();
    // Without an index the listings are read, and with trusted keys every
    // archive needs its own signature. Without keys, a repository that cannot
    // be reached fails there with the listings' own errors, within the same
    // time limit.
    std::optional<std::string> text;
    bool fresh = false;
    if (answer.result == CURLE_OK && answer.notModified && !ec) {
        std::ifstream in(cached, std::ios::binary);
        text.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (answer.result == CURLE_OK && !body.tooLarge) {
        text = std::move(body.text);
        fresh = true;
    } else if (answer.result == CURLE_HTTP_RETURNED_ERROR && answer.status == 404) {
        fs::remove(cached, ec);
    } else if (verifiesSignatures()) {
        // With trusted keys an index that is there but cannot be read is not
        // passed over: the listings would drop its guard against an older
        // state of the repository being replayed.
        std::string const reason = body.tooLarge
                                       ? fmt::format("response larger than {} bytes", maxListingBytes)
                                       : HttpSession::describe(answer.result);
        throw std::runtime_error(fmt::format("Failed to fetch '{}': {}", url, reason));
    }
    if (!text)
        return std::nullopt;
    if (verifiesSignatures())
        verifyIndexSignature(url, *text);
    RepositoryIndex index = RepositoryIndex::parse(*text, url);
    if (verifiesSignatures())
        checkIndexGeneration(url, index.generated);
    // Kept for the next run's conditional request, with the server's time.
    // Times have whole seconds: an index changed within the second of its
    // Last-Modified could look unmodified, so such a recent one is not kept.
    if (fresh) {
        fs::remove(cached, ec);
        if (answer.fileTime >= 0 && answer.fileTime + 2 <= static_cast<long long>(std::time(nullptr))) {
            fs::create_directories(cached.parent_path());
            fs::path const part = cached.string() + ".part";
            writeText(part, *text);
            fs::last_write_time(part, std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(
                                          std::chrono::seconds(answer.fileTime))));
            fs::rename(part, cached);
        }
    }
    return index;
}

void PackageFetcher::verifyIndexSignature(std::string const& url, std::string const& text) const
{
    // The signature names the file "index.yml": both are checked as files of
    // that name, exactly as they were received.
    TempDir dir("vdpk-index-");
    fs::path const index = dir.path() / RepositoryIndex::fileName;
    writeText(index, text);
    fs::path const signature = dir.path() / RepositoryIndex::signatureFileName;
    if (auto const signatureText = fetchOptionalText(url + ".minisig"))
        writeText(signature, *signatureText);
    Signature::verifyFile(index, signature, trustedKeys, Signature::Subject::repositoryIndex, url,
                          RepositoryIndex::fileName);
}

void PackageFetcher::checkIndexGeneration(std::string const& url, std::int64_t generated) const
{
    fs::path const state = fs::path(config.pkgRepoCachePath) / indexStateFileName;
    std::vector<std::pair<std::int64_t, std::string>> seen;
    if (std::ifstream in(state); in.is_open()) {
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::int64_t time = 0;
            std::string where;
            if (fields >> time >> where)
                seen.emplace_back(time, where);
        }
    }
    auto const known = std::find_if(seen.begin(), seen.end(), [&](auto const& s) { return s.second == url; });
    // An older signed index is a replay: it would hide newer archives, or
    // bring back ones the repository has replaced.
    if (known != seen.end() && generated < known->first)
        throw std::runtime_error(fmt::format("Repository index '{}' is older than one already seen", url));
    if (known != seen.end() && generated == known->first)
        return;
    if (known != seen.end())
        known->first = generated;
    else
        seen.emplace_back(generated, url);
    std::string text;
    for (auto const& [time, where] : seen)
        text += fmt::format("{} {}\n", time, where);
    fs::create_directories(state.parent_path());
    fs::path const part = state.string() + fmt::format(".{}.part", ::getpid());
    writeText(part, text);
    fs::rename(part, state);
}

void PackageFetcher::checkAgainstIndex(fs::path const& archive, RepositoryIndexEntry const& entry)
{
    if (!isCachedIntact(archive, entry))
        throwMismatch(entry);
    Package const package = readArchiveManifest(archive);
    if (package.name != entry.name || package.version != entry.version || package.depends != entry.depends)
        throwMismatch(entry);
}

void PackageFetcher::fetchIndexed(std::vector<RepositoryIndexEntry const*> const& entries) const
{
    struct Job {
        RepositoryIndexEntry const* entry;
        fs::path local;
        fs::path part;
        std::unique_ptr<std::ofstream> out;
    };
    std::vector<Job> jobs;
    std::vector<HttpSession::Transfer> transfers;
    for (RepositoryIndexEntry const* entry : entries) {
        fs::path const local = cachePath(entry->path);
        if (isCachedIntact(local, *entry))
            continue;
        fs::create_directories(local.parent_path());
        Job job{entry, local, local.string() + ".part", nullptr};
        job.out = std::make_unique<std::ofstream>(job.part, std::ios::binary | std::ios::trunc);
        if (!job.out->is_open())
            throw std::runtime_error(fmt::format("Failed to open '{}' for writing", job.part.string()));
        jobs.push_back(std::move(job));
    }
    auto const removeParts = [&] {
        for (auto& job : jobs) {
            if (job.out)
                job.out->close();
            std::error_code ignored;
            fs::remove(job.part, ignored);
        }
    };
    for (auto& job : jobs)
        transfers.push_back(HttpSession::Transfer{
            .url = joinUrl(trimTrailingSlash(config.pkgRepoUrl), job.entry->path),
            .write = writeToStream,
            .target = job.out.get(),
        });

    if (!jobs.empty()) {
        // Progress on a terminal only: logs and pipes get no extra output.
        std::optional<DownloadProgress> progress;
        if (::isatty(STDERR_FILENO) == 1)
            progress.emplace(jobs.size() == 1 ? fs::path(jobs.front().entry->path).filename().string()
                                              : fmt::format("{} packages", jobs.size()));
        try {
            session->http.perform(transfers, maxParallelDownloads, progress ? &*progress : nullptr);
        } catch (...) {
            removeParts();
            throw;
        }
        long long received = 0;
        for (auto& job : jobs) {
            received += job.out->tellp() > 0 ? static_cast<long long>(job.out->tellp()) : 0;
            job.out->close();
        }
        if (progress)
            progress->finish(received);
        // The first transfer that failed by itself, not one abandoned for it.
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            int result = transfers[i].result;
            if (result == CURLE_OK && jobs[i].out->fail())
                result = CURLE_WRITE_ERROR;
            if (result == CURLE_OK || result == CURLE_ABORTED_BY_CALLBACK)
                continue;
            removeParts();
            throw std::runtime_error(
                fmt::format("Failed to download '{}': {}", transfers[i].url, HttpSession::describe(result)));
        }
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (transfers[i].result != CURLE_OK) {
                removeParts();
                throw std::runtime_error(fmt::format("Failed to download '{}': {}", transfers[i].url,
                                                     HttpSession::describe(transfers[i].result)));
            }
        }
        // Only complete downloads ever appear under their final names.
        for (auto& job : jobs)
            fs::rename(job.part, job.local);
    }

    for (RepositoryIndexEntry const* entry : entries) {
        fs::path const local = cachePath(entry->path);
        try {
            checkAgainstIndex(local, *entry);
        } catch (...) {
            // Not kept: the next run downloads it again.
            std::error_code ignored;
            fs::remove(local, ignored);
            throw;
        }
    }
}

} // namespace Vandrel::Linux
