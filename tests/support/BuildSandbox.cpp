#include "tests/support/BuildSandbox.hpp"

#include "tests/support/Paths.hpp"

#include <fstream>
#include <sstream>

namespace Vandrel::Test {

namespace fs = std::filesystem;

BuildSandbox::BuildSandbox()
{
    writePkgConfig();
    fs::create_directories(sources());
    fs::create_directories(repo());
}

void BuildSandbox::writeBuildConfig(std::string const& workDirText, std::string const& templateText) const
{
    std::ostringstream yml;
    yml << "buildFs:\n"
        << "  template: " << yamlQuote(templateText.empty() ? templateDir().string() : templateText) << "\n"
        << "  workDir: " << yamlQuote(workDirText.empty() ? workDir().string() : workDirText) << "\n"
        << "  packageSources: " << yamlQuote(sources().string()) << "\n"
        << "  packageRepo: " << yamlQuote(repo().string()) << "\n"
        << "  pkgDatabasePath: " << yamlQuote(buildFsDatabase()) << "\n";
    std::ofstream(configDir() / "build.yml", std::ios::binary) << yml.str();
}

fs::path BuildSandbox::writeStandInShare() const
{
    fs::path const share = root() / "share";
    fs::create_directories(share / "vd-build" / "bin");
    fs::create_directory_symlink(shareDir() / "vdpk", share / "vdpk");
    for (std::string name :
         {"mount-build-chroot", "umount-build-chroot", "prepare-build-fs", "clean-build-fs"}) {
        std::string variable = "STANDIN_EXIT_" + name;
        for (char& c : variable)
            if (c == '-')
                c = '_';
        fs::path const script = share / "vd-build" / "bin" / name;
        std::ofstream(script, std::ios::binary)
            << "#!/bin/bash\n"
            << "(IFS='|'; echo \"$(basename \"$0\")|$*\") >> '" << standInLog().string() << "'\n"
            << "exit \"${" << variable << ":-0}\"\n";
        fs::permissions(script, fs::perms::owner_all);
    }
    writePkgConfig({}, {}, share.string());
    return share;
}

std::vector<std::string> BuildSandbox::standInCalls() const
{
    std::vector<std::string> lines;
    std::ifstream in(standInLog());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

fs::path BuildSandbox::writePackageSource(std::string const& name, std::string const& version,
                                          std::string const& buildScript,
                                          std::vector<std::string> const& depends,
                                          std::string const& os) const
{
    fs::path const dir = sources() / "os" / os / name;
    fs::create_directories(dir / "src");
    std::ostringstream manifest;
    manifest << "os: " << os << "\nname: " << name << "\nversion: " << yamlQuote(version) << "\narch: x64\n";
    if (!depends.empty())
        manifest << "depends:\n";
    for (auto const& dependency : depends)
        manifest << "  - " << dependency << "\n";
    std::ofstream(dir / "package.yml", std::ios::binary) << manifest.str();
    std::ofstream(dir / "build.sh", std::ios::binary) << buildScript;
    fs::permissions(dir / "build.sh", fs::perms::owner_all);
    return dir;
}

RunResult runVdBuild(std::vector<std::string> const& args, RunOptions const& options)
{
    return runProgram(programPath("vd-build"), args, options);
}

RunResult runVdBuildIsolated(std::vector<std::string> const& args, RunOptions const& options)
{
    std::vector<std::string> all = {"--mount", "--propagation", "private", programPath("vd-build").string()};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram("/usr/bin/unshare", all, options);
}

bool hasMountsBelow(fs::path const& dir)
{
    std::string const prefix = fs::weakly_canonical(dir).string();
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == prefix || field.starts_with(prefix + "/"))
            return true;
    }
    return false;
}

} // namespace Vandrel::Test
