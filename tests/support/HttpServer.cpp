#include "tests/support/HttpServer.hpp"

#include "tests/support/Paths.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace Vandrel::Test {

namespace fs = std::filesystem;

HttpServer::HttpServer(fs::path root, std::vector<std::string> extraArgs)
{
    char logTemplate[] = "/tmp/vandrel-http-log-XXXXXX";
    int logFd = mkstemp(logTemplate);
    if (logFd < 0)
        throw std::runtime_error("cannot create server log");
    logPath = logTemplate;
    close(logFd);
    // Append mode, so that clearRequests() can truncate the log under the server.
    logFd = open(logTemplate, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (logFd < 0)
        throw std::runtime_error("cannot open server log");

    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> args = {"/usr/bin/python3", "-u",
                                     (sourceDir() / "tests/support/repo_server.py").string(), root.string()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(logFd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(logFd);

    // Wait (bounded) for the line that tells the port.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{outPipe[0], POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(outPipe[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(outPipe[0]);
    auto pos = line.find("port ");
    if (pos == std::string::npos) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        throw std::runtime_error("test HTTP server did not start: " + line);
    }
    portNumber = std::stoi(line.substr(pos + 5));
    baseUrl = "http://127.0.0.1:" + std::to_string(portNumber);
}

HttpServer::~HttpServer()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code ec;
    fs::remove(logPath, ec);
}

std::vector<std::string> HttpServer::requests() const
{
    std::vector<std::string> lines;
    std::ifstream in(logPath);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("GET ", 0) == 0 || line.rfind("HEAD ", 0) == 0)
            lines.push_back(line);
    return lines;
}

int HttpServer::connections() const
{
    std::ifstream in(logPath);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("CONNECTION ", 0) == 0)
            ++count;
    return count;
}

void HttpServer::clearRequests() const
{
    std::ofstream(logPath, std::ios::trunc);
}

SilentServer::SilentServer(bool fullBacklog)
{
    socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int const fd = socket.get();
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, fullBacklog ? 0 : 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot open silent server socket");
    portNumber = ntohs(address.sin_port);
    // With a backlog of 0 Linux queues one connection; the handshakes of
    // later ones are dropped and their clients wait.
    if (fullBacklog) {
        FileDescriptor client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!client || connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot fill the silent server's backlog");
        queued.push_back(std::move(client));
    }
}

SilentServer::~SilentServer() = default;

std::string SilentServer::url() const
{
    return "http://127.0.0.1:" + std::to_string(portNumber) + "/repo";
}

} // namespace Vandrel::Test
