#include "core/PkgConfig.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace Vandrel::Linux {

namespace {

template <typename T>
T requiredField(YAML::Node const& node, std::string const& key, std::string const& filePath)
{
    YAML::Node value = node[key];
    if (!value.IsDefined())
        throw std::runtime_error(fmt::format("Missing required field '{}' in {}", key, filePath));
    return value.as<T>();
}

} // namespace

void PkgConfig::loadConfig(std::string const& configDir)
{
    std::string const filePath = configDir + "/pkg.yml";
    YAML::Node root = YAML::LoadFile(filePath);
    database = requiredField<std::string>(root, "database", filePath);
    shareDir = requiredField<std::string>(root, "shareDir", filePath);
    pkgRepoUrl = requiredField<std::string>(root, "pkgRepoUrl", filePath);
    pkgRepoCachePath = requiredField<std::string>(root, "pkgRepoCachePath", filePath);
}

std::string PkgConfig::readSharedFile(std::string const& relativePath) const
{
    std::string const fullPath = shareDir + "/" + relativePath;
    std::ifstream in(fullPath, std::ios::binary);
    // A directory opens fine on Linux and then reads as nothing; treat it (and
    // any read error) as unreadable rather than handing back an empty file.
    std::error_code ec;
    if (!in.is_open() || std::filesystem::is_directory(fullPath, ec))
        throw std::runtime_error("Could not open file: " + fullPath);
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        throw std::runtime_error("Could not open file: " + fullPath);
    return content;
}

} // namespace Vandrel::Linux
