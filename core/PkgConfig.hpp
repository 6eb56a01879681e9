#pragma once

#include <string>

namespace Vandrel::Linux {

// The tool configuration shared by both programs, read from "pkg.yml" in the
// configuration directory. A plain value: every user keeps its own copy.
struct PkgConfig {
    std::string database;
    std::string shareDir;
    std::string pkgRepoUrl;
    std::string pkgRepoCachePath;

    // Fills the four fields from configDir + "/pkg.yml"; the first missing
    // key stops the load with "Missing required field '{}' in {}".
    void loadConfig(std::string const& configDir);

    // The whole content of shareDir + "/" + relativePath, as bytes.
    std::string readSharedFile(std::string const& relativePath) const;
};

} // namespace Vandrel::Linux
