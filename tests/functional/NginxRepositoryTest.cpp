// The repository server configuration of the documentation, served by the
// real nginx on 127.0.0.1: the built vdpk installs a package and its
// dependency by name through nginx's own directory listings and redirects.
#include "core/RepositoryIndex.hpp"
#include "core/Signature.hpp"

#include "tests/support/Archive.hpp"
#include "tests/support/Minisign.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;

fs::path findNginx()
{
    for (fs::path const candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return {};
}

// A loopback port that nothing listens on right now.
int freePort()
{
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot find a free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port)
{
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool const ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string replaceOnce(std::string text, std::string const& from, std::string const& to)
{
    auto const pos = text.find(from);
    if (pos == std::string::npos)
        throw std::runtime_error("the documented configuration no longer holds: " + from);
    return text.replace(pos, from.size(), to);
}

// nginx in the foreground, as one process, with everything it writes below
// its own prefix directory; the documented server block is included as it
// is, with only its port and repository directory changed.
class Nginx {
  public:
    Nginx(fs::path const& program, fs::path const& prefix, fs::path const& repository)
    {
        fs::create_directories(prefix / "temp");
        std::string server = readFile(sourceDir() / "docs/examples/nginx-repository.conf");
        server = replaceOnce(server, "alias /srv/vdpk/packages/;", "alias " + repository.string() + "/;");
        for (int attempt = 0; attempt < 3 && pid < 0; ++attempt) {
            port = freePort();
            std::ofstream(prefix / "server.conf")
                << replaceOnce(server, "listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";");
            std::ofstream(prefix / "nginx.conf")
                << "error_log " << (prefix / "error.log").string() << ";\n"
                << "events { worker_connections 64; }\n"
                << "http {\n"
                << "  access_log " << (prefix / "access.log").string() << ";\n"
                << "  client_body_temp_path temp/body;\n"
                << "  proxy_temp_path temp/proxy;\n"
                << "  fastcgi_temp_path temp/fastcgi;\n"
                << "  uwsgi_temp_path temp/uwsgi;\n"
                << "  scgi_temp_path temp/scgi;\n"
                << "  include " << (prefix / "server.conf").string() << ";\n"
                << "}\n";
            start(program, prefix);
        }
        if (pid < 0)
            throw std::runtime_error("nginx did not start: " + readFile(prefix / "error.log"));
    }

    ~Nginx()
    {
        ::kill(pid, SIGTERM);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    Nginx(Nginx const&) = delete;
    Nginx& operator=(Nginx const&) = delete;

    std::string url(std::string const& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

  private:
    void start(fs::path const& program, fs::path const& prefix)
    {
        std::vector<std::string> args = {program.string(),
                                         "-p",
                                         prefix.string() + "/",
                                         "-c",
                                         (prefix / "nginx.conf").string(),
                                         "-e",
                                         (prefix / "error.log").string(),
                                         "-g",
                                         "daemon off; master_process off; pid " +
                                             (prefix / "nginx.pid").string() + ";"};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t const child = ::fork();
        if (child < 0)
            throw std::runtime_error("fork failed");
        if (child == 0) {
            // The server goes with the test, also when the test dies.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(child, nullptr, WNOHANG) == child)
                return; // did not start, e.g. the port was taken meanwhile
            if (accepts(port)) {
                pid = child;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    pid_t pid = -1;
    int port = 0;
};

TEST(NginxRepository, InstallsAPackageByNameThroughTheDocumentedConfiguration)
{
    fs::path const nginx = findNginx();
    if (nginx.empty())
        GTEST_SKIP() << "nginx is not installed (scripts/install-deps.sh installs it)";

    Sandbox sandbox;
    // nginx reads the repository as its unprivileged user.
    fs::permissions(sandbox.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    fs::path const repository = sandbox.root() / "repo";
    publishPackage(repository, "linux",
                   {.name = "greet",
                    .version = "1.2",
                    .depends = {"libgreet"},
                    .files = {{"usr/bin/greet", "#!/bin/sh\necho hello\n"}}});
    publishPackage(repository, "linux",
                   {.name = "greet",
                    .version = "1.10",
                    .depends = {"libgreet"},
                    .files = {{"usr/bin/greet", "#!/bin/sh\necho hello again\n"}}});
    publishPackage(repository, "linux",
                   {.name = "libgreet", .files = {{"usr/lib/libgreet.sh", "greet() { :; }\n"}}});
    for (auto const& entry : fs::recursive_directory_iterator(repository))
        fs::permissions(entry.path(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);

    Nginx server(nginx, sandbox.root() / "nginx", repository);
    sandbox.writePkgConfig(server.url("/packages"));

    RunResult r =
        runVdpk({"-c", sandbox.configDir().string(), "-r", sandbox.prefix().string(), "--install", "greet"},
                {.input = "y\n"});
    ASSERT_EQ(r.status, 0) << r.err << readFile(sandbox.root() / "nginx/error.log");
    EXPECT_NE(r.err.find("This package requires 1 packages: libgreet\n"
                         "Are you sure you want to install 2 packages? [y/N] "),
              std::string::npos)
        << r.err;
    // The newest version by version order, not by the listing's text order.
    EXPECT_EQ(readFile(sandbox.prefix() / "usr/bin/greet"), "#!/bin/sh\necho hello again\n");
    EXPECT_EQ(readFile(sandbox.prefix() / "usr/lib/libgreet.sh"), "greet() { :; }\n");
    EXPECT_TRUE(fs::exists(sandbox.cacheDir() / "linux/greet/1.10/greet-1.10-x64.vdpk.tar.bz2"));

    r = runVdpk({"-c", sandbox.configDir().string(), "-r", sandbox.prefix().string(), "--list"});
    EXPECT_EQ(r.out, "greet\nlibgreet\n");

    // It went through nginx: the base was redirected to its slash form, and
    // the listings and archives were served from the repository.
    std::string const log = readFile(sandbox.root() / "nginx/access.log");
    EXPECT_NE(log.find("\"GET /packages HTTP/1.1\" 301"), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /packages/linux/ HTTP/1.1\" 200"), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /packages/linux/greet/1.10/greet-1.10-x64.vdpk.tar.bz2 HTTP/1.1\" 200"),
              std::string::npos)
        << log;
}

TEST(NginxRepository, ServesTheSignedIndexAndHidesTheDeployStepsOwnFiles)
{
    fs::path const nginx = findNginx();
    if (nginx.empty())
        GTEST_SKIP() << "nginx is not installed (scripts/install-deps.sh installs it)";

    Sandbox sandbox;
    fs::permissions(sandbox.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    fs::path const repository = sandbox.root() / "repo";
    publishPackage(repository, "linux",
                   {.name = "greet", .depends = {"libgreet"}, .files = {{"usr/bin/greet", "#!/bin/sh\n"}}});
    publishPackage(repository, "linux", {.name = "libgreet", .files = {{"usr/lib/libgreet.sh", "greet\n"}}});
    auto const keys = makeMinisignKeyPair(sandbox.root() / "signer", "repo");
    Linux::Signature::SecretKey const key = Linux::Signature::loadSecretKey(keys.secretKey);
    Linux::RepositoryIndexUpdate::rebuild(repository, &key);
    for (auto const& entry : fs::recursive_directory_iterator(repository))
        fs::permissions(entry.path(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    fs::create_directories(sandbox.configDir() / "keys");
    fs::copy_file(keys.publicKey, sandbox.configDir() / "keys" / "repo.pub");

    Nginx server(nginx, sandbox.root() / "nginx", repository);
    sandbox.writePkgConfig(server.url("/packages"));
    RunResult const r =
        runVdpk({"-c", sandbox.configDir().string(), "-r", sandbox.prefix().string(), "--install", "greet"},
                {.input = "y\n"});
    ASSERT_EQ(r.status, 0) << r.err << readFile(sandbox.root() / "nginx/error.log");
    EXPECT_EQ(readFile(sandbox.prefix() / "usr/lib/libgreet.sh"), "greet\n");
    EXPECT_EQ(runShell("curl -s -o /dev/null -w '%{http_code}' " + server.url("/packages/.index.lock")).out,
              "404");

    std::string const log = readFile(sandbox.root() / "nginx/access.log");
    EXPECT_NE(log.find("\"GET /packages/index.yml HTTP/1.1\" 200"), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /packages/index.yml.minisig HTTP/1.1\" 200"), std::string::npos) << log;
    // Resolved from the index: no listing was read.
    EXPECT_EQ(log.find("\"GET /packages/linux/ HTTP/1.1\""), std::string::npos) << log;
}

} // namespace
} // namespace Vandrel::Test
