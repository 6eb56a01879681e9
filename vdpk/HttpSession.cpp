#include "vdpk/HttpSession.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace Vandrel::Linux {

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

void DownloadProgress::update(long long received, long long total) noexcept
{
    auto const now = std::chrono::steady_clock::now();
    if (shown && now - lastDrawn < std::chrono::milliseconds(100))
        return;
    lastDrawn = now;
    draw(received, total);
}

void DownloadProgress::finish(long long received) noexcept
{
    draw(received, 0);
    try {
        std::cerr << '\n' << std::flush;
    } catch (...) {
    }
}

void DownloadProgress::draw(long long received, long long total) noexcept
{
    try {
        double const seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::string line = fmt::format("{}  {}", label, humanBytes(static_cast<double>(received)));
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

namespace {

// One transfer in flight.
struct Active {
    CURL* easy = nullptr;
    HttpSession::Transfer* transfer = nullptr;
    curl_off_t received = 0;
    curl_off_t sent = 0;
    curl_off_t total = 0;
    bool* activity = nullptr;
};

// libcurl calls this about once a second even while nothing arrives, and
// whenever bytes move. Nothing may be thrown through libcurl.
int onProgress(void* data, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t sent)
{
    auto* active = static_cast<Active*>(data);
    if (received != active->received || sent != active->sent)
        *active->activity = true;
    active->received = received;
    active->sent = sent;
    active->total = total;
    return 0;
}

} // namespace

struct HttpSession::Handles {
    Handles()
    {
        if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
            throw std::runtime_error("curl_global_init failed");
        multi = curl_multi_init();
        if (!multi) {
            curl_global_cleanup();
            throw std::runtime_error("curl_multi_init failed");
        }
        // Room for the connections of every parallel transfer between runs.
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 8L);
    }
    ~Handles()
    {
        for (CURL* easy : idle)
            curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        curl_global_cleanup();
    }
    Handles(Handles const&) = delete;
    Handles& operator=(Handles const&) = delete;

    CURL* take()
    {
        if (!idle.empty()) {
            CURL* easy = idle.back();
            idle.pop_back();
            // Resetting the options keeps the connections of the multi handle.
            curl_easy_reset(easy);
            return easy;
        }
        CURL* easy = curl_easy_init();
        if (!easy)
            throw std::runtime_error("curl_easy_init failed");
        return easy;
    }
    void give(CURL* easy) { idle.push_back(easy); }

    CURLM* multi = nullptr;
    std::vector<CURL*> idle;
};

HttpSession::HttpSession(HttpLimits limits) : limits(limits) {}

HttpSession::~HttpSession() = default;

std::string HttpSession::describe(int result)
{
    return curl_easy_strerror(static_cast<CURLcode>(result));
}

HttpSession::Transfer HttpSession::perform(std::string const& url, WriteCallback write, void* target,
                                           DownloadProgress* progress)
{
    std::vector<Transfer> one{Transfer{.url = url, .write = write, .target = target}};
    perform(one, 1, progress);
    return std::move(one.front());
}

void HttpSession::perform(std::vector<Transfer>& transfers, std::size_t maxParallel,
                          DownloadProgress* progress)
{
    using namespace std::chrono;
    auto const quietLimit = seconds(limits.quietSeconds);
    if (!handles)
        handles = std::make_unique<Handles>();
    CURLM* const multi = handles->multi;

    for (auto& transfer : transfers)
        transfer.result = CURLE_ABORTED_BY_CALLBACK;
    std::vector<std::unique_ptr<Active>> active;
    bool activity = false;
    bool failed = false;
    std::size_t next = 0;
    // The bytes of the transfers that have ended, for the progress line.
    long long receivedDone = 0;
    long long totalDone = 0;
    auto lastTick = steady_clock::now();

    auto const start = [&](Transfer& transfer) {
        auto entry = std::make_unique<Active>();
        entry->transfer = &transfer;
        entry->activity = &activity;
        CURL* curl = entry->easy = handles->take();
        curl_easy_setopt(curl, CURLOPT_URL, transfer.url.c_str());
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
        // No CURLOPT_FAILONERROR: libcurl would close the connection after
        // an error answer, and a missing index.yml or signature is an
        // ordinary answer here. The status is checked when the transfer ends.
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, transfer.write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer.target);
        // Connecting is silence too: it may take no longer than what is left.
        auto const left = duration_cast<milliseconds>(quietLimit - quiet).count();
        long const connectMs =
            std::max(1L, std::min(limits.connectTimeoutSeconds * 1000L, static_cast<long>(left)));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
        // Time-outs must not be implemented with signals in a threaded process.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, entry.get());
        curl_easy_setopt(curl, CURLOPT_PRIVATE, entry.get());
        curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
        if (transfer.ifModifiedSince >= 0) {
            curl_easy_setopt(curl, CURLOPT_TIMECONDITION, static_cast<long>(CURL_TIMECOND_IFMODSINCE));
            curl_easy_setopt(curl, CURLOPT_TIMEVALUE_LARGE,
                             static_cast<curl_off_t>(transfer.ifModifiedSince));
        }
        if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
            handles->give(curl);
            throw std::runtime_error("curl_multi_add_handle failed");
        }
        active.push_back(std::move(entry));
    };
    auto const finish = [&](Active* entry, CURLcode result) {
        Transfer& transfer = *entry->transfer;
        transfer.result = result;
        transfer.status = 0;
        curl_easy_getinfo(entry->easy, CURLINFO_RESPONSE_CODE, &transfer.status);
        long redirects = 0;
        char* effective = nullptr;
        if (curl_easy_getinfo(entry->easy, CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK &&
            redirects > 0 && curl_easy_getinfo(entry->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
            effective)
            transfer.redirectedTo = effective;
        long unmet = 0;
        transfer.notModified = result == CURLE_OK && transfer.ifModifiedSince >= 0 &&
                               curl_easy_getinfo(entry->easy, CURLINFO_CONDITION_UNMET, &unmet) == CURLE_OK &&
                               unmet != 0;
        curl_off_t fileTime = -1;
        transfer.fileTime = curl_easy_getinfo(entry->easy, CURLINFO_FILETIME_T, &fileTime) == CURLE_OK
                                ? static_cast<long long>(fileTime)
                                : -1;
        curl_off_t received = 0;
        if (curl_easy_getinfo(entry->easy, CURLINFO_SIZE_DOWNLOAD_T, &received) == CURLE_OK)
            receivedDone += received;
        totalDone += std::max(entry->total, received);
        curl_multi_remove_handle(multi, entry->easy);
        handles->give(entry->easy);
        std::erase_if(active, [&](auto const& a) { return a.get() == entry; });
    };
    auto const abandonAll = [&](CURLcode result) {
        while (!active.empty())
            finish(active.front().get(), result);
    };

    try {
        while (true) {
            if (quiet >= quietLimit) {
                // What is still in flight, and what was never started, timed out.
                for (std::size_t i = next; i < transfers.size(); ++i)
                    transfers[i].result = CURLE_OPERATION_TIMEDOUT;
                abandonAll(CURLE_OPERATION_TIMEDOUT);
                break;
            }
            while (!failed && next < transfers.size() &&
                   active.size() < std::max<std::size_t>(1, maxParallel))
                start(transfers[next++]);
            if (active.empty())
                break;

            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK)
                throw std::runtime_error("curl_multi_perform failed");
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                Active* entry = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &entry);
                CURLcode result = message->data.result;
                long status = 0;
                curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
                if (result == CURLE_OK && status >= 400)
                    result = CURLE_HTTP_RETURNED_ERROR;
                // A complete answer, an HTTP error included, shows the server alive.
                if (result == CURLE_OK || result == CURLE_HTTP_RETURNED_ERROR)
                    activity = true;
                finish(entry, result);
                if (result != CURLE_OK)
                    failed = true;
            }
            auto const now = steady_clock::now();
            if (activity)
                quiet = steady_clock::duration::zero();
            else
                quiet += now - lastTick;
            lastTick = now;
            activity = false;

            if (progress) {
                long long received = 0;
                long long total = 0;
                for (auto const& entry : active) {
                    received += entry->received;
                    total += entry->total;
                }
                progress->update(receivedDone + received, totalDone + total);
            }
            if (failed) {
                abandonAll(CURLE_ABORTED_BY_CALLBACK);
                break;
            }
            if (!active.empty())
                curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
    } catch (...) {
        abandonAll(CURLE_ABORTED_BY_CALLBACK);
        throw;
    }
}

} // namespace Vandrel::Linux
