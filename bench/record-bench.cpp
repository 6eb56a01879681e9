// Times recording one package of N files in the package database, the last
// step of an install, on a fresh database in a temporary directory.
//
// usage: record-bench [N] [SHARE_DIR] [ROUNDS]
//   N          file rows to record (default 100000)
//   SHARE_DIR  the shared data directory holding vdpk/sql (default share/ of
//              the source tree this program was built from)
//   ROUNDS     rounds, each on a new database; the best and the median are
//              printed (default 5)

#include "core/Package.hpp"
#include "core/PackageManager.hpp"
#include "core/PkgConfig.hpp"
#include "core/TempDir.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Vandrel::Linux::Package;
using Vandrel::Linux::PackageManager;
using Vandrel::Linux::PkgConfig;

// File names shaped like the installer benchmark's package: runs of 40 files
// per directory below a few top-level trees.
std::vector<std::string> benchFileNames(std::size_t count)
{
    static char const* const tops[] = {"usr/lib", "usr/share", "usr/include", "usr/share/doc",
                                       "usr/lib/python3/site"};
    std::vector<std::string> names;
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        names.push_back(fmt::format("{}/pkg{}/part{}/f{}", tops[(i / 40) % 5], i / 400, i / 40, i));
    return names;
}

// User plus system time of this process so far, in seconds: unlike the wall
// clock it does not grow with other load on the machine.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto const seconds = [](timeval const& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t const count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    std::string const shareDir = argc > 2 ? argv[2] : VANDREL_SOURCE_DIR "/share";
    int const rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    std::vector<std::string> const files = benchFileNames(count);
    Package package;
    package.os = "linux";
    package.name = "bench";
    package.version = "1.0";
    package.depends = {"alpha", "beta", "gamma"};

    std::vector<double> schemaTimes;
    std::vector<double> recordTimes;
    std::vector<double> recordCpuTimes;
    for (int round = 0; round < rounds; ++round) {
        Vandrel::TempDir dir("vdpk-record-bench-");
        PkgConfig config;
        config.database = (dir.path() / "packages.db").string();
        config.shareDir = shareDir;
        PackageManager manager(config, false);

        auto const start = std::chrono::steady_clock::now();
        manager.db();
        auto const created = std::chrono::steady_clock::now();
        double const cpuBefore = cpuSeconds();
        manager.saveIntoDb(package, files);
        recordCpuTimes.push_back(cpuSeconds() - cpuBefore);
        auto const recorded = std::chrono::steady_clock::now();
        schemaTimes.push_back(std::chrono::duration<double>(created - start).count());
        recordTimes.push_back(std::chrono::duration<double>(recorded - created).count());
    }

    auto const report = [&](char const* what, std::vector<double> times) {
        std::sort(times.begin(), times.end());
        fmt::print("{:<26} best {:.4f} s, median {:.4f} s\n", what, times.front(), times[times.size() / 2]);
    };
    fmt::print("record-bench: {} file rows, {} rounds\n", count, rounds);
    report("create database schema", schemaTimes);
    report(fmt::format("record {} file rows", count).c_str(), recordTimes);
    report("  CPU time of that", recordCpuTimes);
    return 0;
}
