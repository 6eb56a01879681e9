// Times reading a repository index of N packages and resolving a chain of six
// packages against it: what vdpk does before its prompt when the repository
// has an index.yml. Also times yaml-cpp reading the same text, for scale.
//
// usage: index-bench [N] [ROUNDS]   (defaults: 10000, 5)

#include "core/RepositoryIndex.hpp"
#include "core/TempDir.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace {

using Vandrel::Linux::RepositoryIndex;
using Vandrel::Linux::RepositoryIndexEntry;

RepositoryIndex makeIndex(int count)
{
    RepositoryIndex index;
    index.generated = RepositoryIndex::now();
    char const* const os[] = {"core", "extra", "desktop"};
    for (int i = 0; i < count; ++i) {
        RepositoryIndexEntry entry;
        entry.os = os[i % 3];
        // The first six form the chain app -> dep-1 -> ... -> dep-5.
        entry.name = i == 0 ? "app" : i < 6 ? fmt::format("dep-{}", i) : fmt::format("pkg-{:05}", i);
        entry.version = i % 2 ? "1.10" : "1.9";
        if (i < 5)
            entry.depends = {fmt::format("dep-{}", i + 1)};
        else if (i >= 6)
            entry.depends = {fmt::format("pkg-{:05}", 6 + (i * 7) % (count - 6))};
        entry.path = fmt::format("{}/{}/{}/{}-{}-x64.vdpk.tar.bz2", entry.os, entry.name, entry.version,
                                 entry.name, entry.version);
        entry.size = 4096 + static_cast<unsigned>(i);
        entry.sha256 = fmt::format("{:064x}", i);
        index.entries.push_back(std::move(entry));
    }
    return index;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    int const count = argc > 1 ? std::atoi(argv[1]) : 10000;
    int const rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Vandrel::TempDir dir("index-bench-");
    std::string const file = (dir.path() / "index.yml").string();
    std::ofstream(file) << makeIndex(count).toYaml();

    std::vector<double> times;
    std::size_t resolved = 0;
    for (int round = 0; round < rounds; ++round) {
        auto const start = std::chrono::steady_clock::now();
        std::ifstream in(file, std::ios::binary);
        std::string const text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        RepositoryIndex const index = RepositoryIndex::parse(text, file);
        // The walk vdpk makes: each name's newest entry, then its dependencies.
        std::vector<std::string> pending{"app"};
        std::set<std::string> seen;
        while (!pending.empty()) {
            std::string const name = pending.back();
            pending.pop_back();
            if (!seen.insert(name).second)
                continue;
            RepositoryIndexEntry const* entry = index.newest(name);
            if (!entry)
                throw std::runtime_error("not found: " + name);
            pending.insert(pending.end(), entry->depends.begin(), entry->depends.end());
        }
        resolved = seen.size();
        times.push_back(secondsSince(start));
    }
    std::sort(times.begin(), times.end());

    auto const yamlStart = std::chrono::steady_clock::now();
    YAML::Node const node = YAML::LoadFile(file);
    double const yamlSeconds = secondsSince(yamlStart);

    std::cout << fmt::format(
        "index of {} packages ({} bytes): read and resolve the chain of {} packages: "
        "best {:.3f} s, median {:.3f} s (target < 0.2 s); yaml-cpp alone reads it in {:.3f} s\n",
        count, std::filesystem::file_size(file), resolved, times.front(), times[times.size() / 2],
        yamlSeconds);
    return node.IsMap() ? 0 : 1;
}
