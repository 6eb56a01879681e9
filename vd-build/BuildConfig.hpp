#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace Vandrel::Linux {

// The build configuration, read from "build.yml" next to "pkg.yml". Values
// are kept exactly as written; the builder makes the paths it needs absolute.
struct BuildConfig {
    std::string template_; // "template" (a keyword in C++)
    std::string workDir;
    std::string packageSources;
    std::string packageRepo;
    std::string pkgDatabasePath;
    // Optional: the minisign secret key that signs every deployed archive;
    // empty when the key is absent, and nothing is signed.
    std::string signingKey;
    // Optional: builds reach the network ("allowNetwork: true"); otherwise
    // their sandbox has only a loopback device of its own.
    bool allowNetwork = false;
    // Optional: the longest a build script may run ("buildTimeout", whole
    // seconds above zero); empty when the key is absent, and there is no limit.
    std::optional<std::chrono::seconds> buildTimeout;

    // Reads configDir + "/build.yml": the five keys below "buildFs", each
    // required, and the optional "signingKey", "allowNetwork" and
    // "buildTimeout".
    static BuildConfig load(std::string const& configDir);
    // Reads only "packageRepo" (required) and "signingKey" (optional): what
    // a host that only serves the repository needs to index it.
    static BuildConfig loadRepository(std::string const& configDir);
};

} // namespace Vandrel::Linux
