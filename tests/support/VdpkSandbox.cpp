#include "tests/support/VdpkSandbox.hpp"

#include "tests/support/Paths.hpp"

namespace Vandrel::Test {

namespace fs = std::filesystem;

VdpkSandbox::VdpkSandbox()
{
    fs::create_directories(repo());
    fs::create_directories(tmpDir());
    writePkgConfig();
}

fs::path VdpkSandbox::publish(std::string const& os, std::string const& name, std::string const& version,
                              std::vector<std::string> const& depends) const
{
    PackageSpec spec;
    spec.name = name;
    spec.version = version;
    spec.os = os.empty() ? "linux" : os;
    spec.depends = depends;
    spec.files["usr/share/" + name + "/VERSION"] = version + "\n";
    return publish(os, spec);
}

fs::path VdpkSandbox::publish(std::string const& os, PackageSpec const& spec) const
{
    return publishPackage(repo(), os, spec);
}

HttpServer& VdpkSandbox::serve(std::vector<std::string> extraArgs)
{
    httpServer.reset();
    httpServer = std::make_unique<HttpServer>(www(), std::move(extraArgs));
    writePkgConfig(repoUrl());
    return *httpServer;
}

RunResult VdpkSandbox::vdpk(std::vector<std::string> args, std::optional<std::string> input,
                            fs::path const& installPrefix) const
{
    return vdpkWith(std::move(args), {.input = std::move(input)}, installPrefix);
}

RunResult VdpkSandbox::vdpkWith(std::vector<std::string> args, RunOptions options,
                                fs::path const& installPrefix) const
{
    args.insert(args.end(), {"--config", configDir().string(), "--prefix",
                             (installPrefix.empty() ? prefix() : installPrefix).string()});
    // The runner's log files and unpack directories stay inside the sandbox.
    options.env.try_emplace("TMPDIR", tmpDir().string());
    if (options.workDir.empty())
        options.workDir = root();
    return runVdpk(args, options);
}

std::string VdpkSandbox::installedVersion(std::string const& name, fs::path const& installPrefix) const
{
    return readFile((installPrefix.empty() ? prefix() : installPrefix) / "usr/share" / name / "VERSION");
}

RunResult VdpkSandbox::indexRepository(fs::path const& signingKey) const
{
    std::string buildYml = "buildFs:\n  packageRepo: \"" + repo().string() + "\"\n";
    if (!signingKey.empty())
        buildYml += "  signingKey: \"" + signingKey.string() + "\"\n";
    writeFile("indexer/build.yml", buildYml);
    return runProgram(programPath("vd-build"),
                      {"--index-repository", "--config", (root() / "indexer").string()});
}

} // namespace Vandrel::Test
