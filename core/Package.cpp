#include "core/Package.hpp"

#include "core/VersionUtils.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <stdexcept>

namespace Vandrel::Linux {

void Package::load(std::string const& manifestPath)
{
    // Const so that looking up a missing key does not insert it.
    YAML::Node const root = YAML::LoadFile(manifestPath);
    auto const required = [&](std::string const& key) {
        YAML::Node const value = root[key];
        if (!value.IsDefined())
            throw std::runtime_error(fmt::format("Missing required field '{}' in {}", key, manifestPath));
        return value.as<std::string>();
    };

    name = required("name");
    os = required("os");
    version = required("version");
    if (!VersionUtils::isValidVersion(version))
        throw std::runtime_error(fmt::format("Invalid package version format '{}'", version));
    arch = archFromString(required("arch"));
    if (YAML::Node const list = root["depends"]; list.IsDefined())
        depends = list.as<std::vector<std::string>>();
}

std::string Package::archToString(CpuArch arch)
{
    switch (arch) {
    case CpuArch::x64:
        return "x64";
    }
    throw std::runtime_error("Unknown arch");
}

CpuArch Package::archFromString(std::string const& text)
{
    if (text == "x64")
        return CpuArch::x64;
    throw std::runtime_error("Unknown arch: " + text);
}

} // namespace Vandrel::Linux
