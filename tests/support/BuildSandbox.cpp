#include "tests/support/BuildSandbox.hpp"

#include "core/FileLock.hpp"
#include "core/ShellQuote.hpp"
#include "tests/support/Paths.hpp"

#include <stdexcept>

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

BuildSandbox::~BuildSandbox()
{
    if (!hasMountsBelow(root()))
        return;
    runShell("umount --recursive --lazy " + shellQuote(root().string()) +
             " 2>/dev/null; for m in $(awk '{print $5}' "
             "/proc/self/mountinfo | grep -F " +
             shellQuote(root().string()) + " | sort -r); do umount --lazy \"$m\"; done");
    if (hasMountsBelow(root())) {
        std::error_code ec;
        fs::rename(root(), root().string() + ".mounted-leftover", ec);
    }
}

void BuildSandbox::writeBuildConfig(std::string const& workDirText, std::string const& templateText,
                                    std::string const& sourcesText) const
{
    std::ostringstream yml;
    yml << "buildFs:\n"
        << "  template: " << yamlQuote(templateText.empty() ? templateDir().string() : templateText) << "\n"
        << "  workDir: " << yamlQuote(workDirText.empty() ? workDir().string() : workDirText) << "\n"
        << "  packageSources: " << yamlQuote(sourcesText.empty() ? sources().string() : sourcesText) << "\n"
        << "  packageRepo: " << yamlQuote(repo().string()) << "\n"
        << "  pkgDatabasePath: " << yamlQuote(buildFsDatabase()) << "\n";
    std::ofstream(configDir() / "build.yml", std::ios::binary) << yml.str();
}

void BuildSandbox::addBuildConfigKeys(std::string const& lines) const
{
    std::ofstream(configDir() / "build.yml", std::ios::binary | std::ios::app) << lines;
}

fs::path BuildSandbox::writeStandInShare() const
{
    fs::path const share = root() / "share";
    fs::create_directories(share / "vd-build" / "bin");
    fs::create_directory_symlink(shareDir() / "vdpk", share / "vdpk");
    fs::create_symlink(shareDir() / "vd-build" / "dangerous-paths", share / "vd-build" / "dangerous-paths");
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

fs::path sharedBuildTemplate()
{
    fs::path const script = sourceDir() / "scripts" / "make-build-template.sh";
    fs::path const dir = binDir().parent_path() / "test-build-template";
    auto const stamp = std::to_string(fs::last_write_time(script).time_since_epoch().count()) + " " +
                       std::to_string(fs::file_size(script));
    FileLock const lock = FileLock::acquire(dir.string() + ".lock");
    if (readFile(dir.string() + ".stamp") == stamp && fs::is_directory(dir))
        return dir;
    fs::remove(dir.string() + ".stamp");
    fs::remove_all(dir);
    auto const r = runProgram("/bin/bash", {script.string(), dir.string()});
    if (r.status != 0)
        throw std::runtime_error("make-build-template.sh failed: " + r.err);
    std::ofstream(dir.string() + ".stamp", std::ios::binary) << stamp;
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
