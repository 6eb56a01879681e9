#include "vd-build/BuildConfig.hpp"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

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

BuildConfig BuildConfig::load(std::string const& configDir)
{
    std::string const filePath = configDir + "/build.yml";
    YAML::Node const root = YAML::LoadFile(filePath);
    YAML::Node const buildFs = root["buildFs"];
    if (!buildFs.IsDefined())
        throw std::runtime_error(fmt::format("Missing required section 'buildFs' in {}", filePath));

    BuildConfig config;
    config.template_ = requiredField<std::string>(buildFs, "template", filePath);
    config.workDir = requiredField<std::string>(buildFs, "workDir", filePath);
    config.packageSources = requiredField<std::string>(buildFs, "packageSources", filePath);
    config.packageRepo = requiredField<std::string>(buildFs, "packageRepo", filePath);
    config.pkgDatabasePath = requiredField<std::string>(buildFs, "pkgDatabasePath", filePath);
    if (YAML::Node const key = buildFs["signingKey"]; key.IsDefined())
        config.signingKey = key.as<std::string>();
    return config;
}

BuildConfig BuildConfig::loadRepository(std::string const& configDir)
{
    std::string const filePath = configDir + "/build.yml";
    YAML::Node const root = YAML::LoadFile(filePath);
    YAML::Node const buildFs = root["buildFs"];
    if (!buildFs.IsDefined())
        throw std::runtime_error(fmt::format("Missing required section 'buildFs' in {}", filePath));
    BuildConfig config;
    config.packageRepo = requiredField<std::string>(buildFs, "packageRepo", filePath);
    if (YAML::Node const key = buildFs["signingKey"]; key.IsDefined())
        config.signingKey = key.as<std::string>();
    return config;
}

} // namespace Vandrel::Linux
