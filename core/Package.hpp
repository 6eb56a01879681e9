#pragma once

#include <string>
#include <vector>

namespace Vandrel::Linux {

enum class CpuArch { x64 = 0 };

// One package manifest ("package.yml").
struct Package {
    std::string os;
    std::string name;
    std::string version;
    CpuArch arch = CpuArch::x64;
    std::vector<std::string> depends;

    // Reads the manifest at manifestPath into this object. On failure the
    // fields read so far keep their new values; callers discard the object.
    void load(std::string const& manifestPath);

    static std::string archToString(CpuArch arch);
    static CpuArch archFromString(std::string const& text);
};

} // namespace Vandrel::Linux
