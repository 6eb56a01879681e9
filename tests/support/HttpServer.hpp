#pragma once

#include "core/FileDescriptor.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Test {

// A real HTTP server on 127.0.0.1 serving a directory tree with href
// listings (tests/support/repo_server.py on the system's python3). It is
// started by the constructor on a free port and stopped by the destructor.
class HttpServer {
  public:
    explicit HttpServer(std::filesystem::path root, std::vector<std::string> extraArgs = {});
    ~HttpServer();
    HttpServer(HttpServer const&) = delete;
    HttpServer& operator=(HttpServer const&) = delete;

    // "http://127.0.0.1:PORT" without a trailing slash.
    std::string url() const { return baseUrl; }
    int port() const { return portNumber; }

    // Request lines logged so far, each "GET /path STATUS".
    std::vector<std::string> requests() const;
    // Connections accepted so far (since the last clearRequests()).
    int connections() const;
    void clearRequests() const;

  private:
    std::filesystem::path logPath;
    std::string baseUrl;
    int portNumber = 0;
    int pid = -1;
};

// A server on 127.0.0.1 that accepts connections (the kernel does, into the
// backlog) and never answers a byte. With fullBacklog, its backlog is filled
// at once, so that new connections are never even completed.
class SilentServer {
  public:
    explicit SilentServer(bool fullBacklog = false);
    ~SilentServer();
    SilentServer(SilentServer const&) = delete;
    SilentServer& operator=(SilentServer const&) = delete;

    // "http://127.0.0.1:PORT/repo"
    std::string url() const;

  private:
    FileDescriptor socket;
    std::vector<FileDescriptor> queued;
    int portNumber = 0;
};

} // namespace Vandrel::Test
