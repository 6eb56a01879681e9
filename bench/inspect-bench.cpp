// Times reading the manifest of package archives the way vdpk inspects them
// before its prompt.
//
// usage: inspect-bench ARCHIVE... (each is read ROUNDS=5 times; best printed)

#include "core/ArchiveManifest.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <iostream>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            auto const start = std::chrono::steady_clock::now();
            Vandrel::Linux::readArchiveManifest(argv[i]);
            best = std::min(best,
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::cout << fmt::format("{}: manifest read in {:.3f} s (best of 5)\n", argv[i], best);
    }
    return 0;
}
