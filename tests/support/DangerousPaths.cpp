#include "tests/support/DangerousPaths.hpp"

#include "tests/support/Paths.hpp"

#include <fstream>
#include <stdexcept>

namespace Vandrel::Test {

namespace fs = std::filesystem;

std::vector<std::string> dangerousPathList()
{
    std::ifstream in(shareDir() / "vd-build" / "dangerous-paths");
    std::vector<std::string> paths;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.front() != '#')
            paths.push_back(line);
    if (paths.size() < 12)
        throw std::runtime_error("share/vd-build/dangerous-paths lost its entries");
    return paths;
}

std::vector<DangerousSpelling> dangerousSpellings(fs::path const& linkDir)
{
    std::vector<DangerousSpelling> spellings;
    for (auto const& path : dangerousPathList())
        spellings.push_back({path, path, path});
    std::string const toRoot = (linkDir / "to-root").string();
    std::string const toUsr = (linkDir / "to-usr").string();
    fs::create_directory_symlink("/", toRoot);
    fs::create_directory_symlink("/usr", toUsr);
    std::vector<DangerousSpelling> const others = {
        {"/usr/", "/usr/", "/usr"},
        {"//usr", "//usr", "/usr"},
        {"/usr/.", "/usr/.", "/usr"},
        {"/usr//", "/usr//", "/usr"},
        {"/usr/local/..", "/usr/local/..", "/usr"},
        {" \t/usr\r\n ", "/usr", "/usr"},
        {"///", "///", "/"},
        {"", "", "/"},
        {" \t\r\n", "", "/"},
        {"/tmp/..", "/tmp/..", "/"},
        {"/tmp/", "/tmp/", "/tmp"},
        {"/x/../run", "/x/../run", "/run"},
        {"/tmp/../proc", "/tmp/../proc", "/proc"},
        {"/dev/", "/dev/", "/dev"},
        {"/usr/local/../../etc/", "/usr/local/../../etc/", "/etc"},
        {"../../../../../../../../../../../..", "../../../../../../../../../../../..", "/"},
        {toRoot, toRoot, "/"},
        {toRoot + "/var", toRoot + "/var", "/var"},
        {toUsr + "/", toUsr + "/", "/usr"},
    };
    spellings.insert(spellings.end(), others.begin(), others.end());
    return spellings;
}

} // namespace Vandrel::Test
