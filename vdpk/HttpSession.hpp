#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// What keeps a silent repository from hanging the tool.
struct HttpLimits {
    // Connecting to the repository may take this long.
    long connectTimeoutSeconds = 30;
    // The repository may send nothing for this long while requests are in
    // flight, counted across all requests of the session, so a server that
    // never answers ends the whole command in this time however many requests
    // it would have taken. Any byte received, on any transfer, starts it
    // afresh: a slow download that keeps moving completes.
    long quietSeconds = 45;
};

// The progress of downloads on one line of a terminal, redrawn in place at
// most ten times a second and ended with a newline: "LABEL  RECEIVED[ of
// TOTAL]  RATE/s".
class DownloadProgress {
  public:
    explicit DownloadProgress(std::string label) : label(std::move(label)) {}

    // Called from libcurl's progress callbacks: must not throw.
    void update(long long received, long long total) noexcept;
    // The final state, then the end of the line.
    void finish(long long received) noexcept;

  private:
    void draw(long long received, long long total) noexcept;

    std::string label;
    std::chrono::steady_clock::time_point const started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDrawn;
    std::size_t drawnLength = 0;
    bool shown = false;
};

// A byte count the way a person reads it: "512 B", "4.0 KiB", "12.5 MiB".
std::string humanBytes(double bytes);

// Every request of one command goes through one libcurl multi handle, so
// connections to the repository stay open between requests and parallel
// transfers share them; the clock of how long the repository has been silent
// runs across all of them.
class HttpSession {
  public:
    // Receives the body; consuming fewer bytes than offered aborts the
    // transfer (nothing may be thrown through libcurl).
    using WriteCallback = std::size_t (*)(char* data, std::size_t size, std::size_t count, void* target);

    struct Transfer {
        std::string url;
        WriteCallback write = nullptr;
        void* target = nullptr;
        // When set (seconds since the epoch), asked for only if modified
        // since: an answer 304 Not Modified leaves notModified set.
        long long ifModifiedSince = -1;
        // Filled in by perform: libcurl's result (a CURLcode), the HTTP
        // status of the answer (0 without one) and the URL a redirect led
        // to (empty without one).
        int result = 0;
        long status = 0;
        std::string redirectedTo{};
        bool notModified = false;
        // The answer's Last-Modified time (seconds since the epoch), or -1.
        long long fileTime = -1;
    };

    explicit HttpSession(HttpLimits limits);
    ~HttpSession();
    HttpSession(HttpSession const&) = delete;
    HttpSession& operator=(HttpSession const&) = delete;

    // Runs the transfers, at most maxParallel at once, and fills in their
    // results. After the first one that fails no other is started and those
    // in flight are abandoned (their result: CURLE_ABORTED_BY_CALLBACK).
    // With progress, the bytes of all of them are shown on its line.
    void perform(std::vector<Transfer>& transfers, std::size_t maxParallel = 1,
                 DownloadProgress* progress = nullptr);
    // One request.
    Transfer perform(std::string const& url, WriteCallback write, void* target,
                     DownloadProgress* progress = nullptr);

    // The text of a result code.
    static std::string describe(int result);

    HttpLimits const limits;

  private:
    struct Handles;
    std::unique_ptr<Handles> handles;
    std::chrono::steady_clock::duration quiet{};
};

} // namespace Vandrel::Linux
