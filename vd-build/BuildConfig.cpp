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

// The value as text for a message: an empty value is "null", as the YAML
// library writes it, and a sequence or a map has no text.
std::string scalarText(YAML::Node const& value)
{
    if (value.IsNull())
        return "null";
    return value.IsScalar() ? value.as<std::string>() : std::string();
}

bool booleanField(YAML::Node const& value, std::string const& key, std::string const& filePath)
{
    std::string const text = scalarText(value);
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    throw std::runtime_error(
        fmt::format("Invalid value '{}' for '{}' in {}: expected true or false", text, key, filePath));
}

// Whole seconds above zero, written as plain digits; a limit of more than a
// year is taken for a typing error.
std::chrono::seconds secondsField(YAML::Node const& value, std::string const& key,
                                  std::string const& filePath)
{
    constexpr long long longest = 366LL * 24 * 60 * 60;
    std::string const text = scalarText(value);
    bool const digits =
        !text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos;
    long long const seconds = digits ? std::stoll(text) : 0;
    if (seconds <= 0 || seconds > longest)
        throw std::runtime_error(
            fmt::format("Invalid value '{}' for '{}' in {}: expected a whole number of seconds from 1 to {}",
                        text, key, filePath, longest));
    return std::chrono::seconds(seconds);
}

// The buildFs section of <configDir>/build.yml, which every action needs.
YAML::Node buildFsSection(std::string const& filePath)
{
    YAML::Node const root = YAML::LoadFile(filePath);
    YAML::Node buildFs = root["buildFs"];
    if (!buildFs.IsDefined())
        throw std::runtime_error(fmt::format("Missing required section 'buildFs' in {}", filePath));
    return buildFs;
}

// Empty when the optional key is absent.
std::string signingKeyOf(YAML::Node const& buildFs)
{
    YAML::Node const key = buildFs["signingKey"];
    return key.IsDefined() ? key.as<std::string>() : std::string();
}

} // namespace

BuildConfig BuildConfig::load(std::string const& configDir)
{
    std::string const filePath = configDir + "/build.yml";
    YAML::Node const buildFs = buildFsSection(filePath);
    BuildConfig config;
    config.template_ = requiredField<std::string>(buildFs, "template", filePath);
    config.workDir = requiredField<std::string>(buildFs, "workDir", filePath);
    config.packageSources = requiredField<std::string>(buildFs, "packageSources", filePath);
    config.packageRepo = requiredField<std::string>(buildFs, "packageRepo", filePath);
    config.pkgDatabasePath = requiredField<std::string>(buildFs, "pkgDatabasePath", filePath);
    config.signingKey = signingKeyOf(buildFs);
    if (YAML::Node const allow = buildFs["allowNetwork"]; allow.IsDefined())
        config.allowNetwork = booleanField(allow, "allowNetwork", filePath);
    if (YAML::Node const limit = buildFs["buildTimeout"]; limit.IsDefined())
        config.buildTimeout = secondsField(limit, "buildTimeout", filePath);
    return config;
}

BuildConfig BuildConfig::loadRepository(std::string const& configDir)
{
    std::string const filePath = configDir + "/build.yml";
    YAML::Node const buildFs = buildFsSection(filePath);
    BuildConfig config;
    config.packageRepo = requiredField<std::string>(buildFs, "packageRepo", filePath);
    config.signingKey = signingKeyOf(buildFs);
    return config;
}

} // namespace Vandrel::Linux
