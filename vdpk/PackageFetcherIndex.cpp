#include "vdpk/PackageFetcher.hpp"

#include "vdpk/PackageFetcherSession.hpp"

#include "core/ArchiveManifest.hpp"
#include "core/TempDir.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <memory>
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
    // Without an index the listings are read, and with trusted keys every
    // archive needs its own signature. A repository that cannot be reached
    // fails there with the listings' own errors, within the same time limit.
    std::optional<std::string> text;
    try {
        text = fetchOptionalText(url);
    } catch (std::runtime_error const&) {
    }
    if (!text)
        return std::nullopt;
    if (verifiesSignatures())
        verifyIndexSignature(url, *text);
    RepositoryIndex index = RepositoryIndex::parse(*text, url);
    if (verifiesSignatures())
        checkIndexGeneration(url, index.generated);
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
