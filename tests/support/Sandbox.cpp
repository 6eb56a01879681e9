#include "tests/support/Sandbox.hpp"

#include "tests/support/Paths.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace Vandrel::Test {

namespace fs = std::filesystem;

Sandbox::Sandbox()
{
    std::string pattern = (fs::temp_directory_path() / "vandrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create test sandbox");
    rootDir = pattern;
    fs::create_directories(configDir());
}

Sandbox::~Sandbox()
{
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable first.
    for (auto it =
             fs::recursive_directory_iterator(rootDir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(rootDir, ec);
}

std::string yamlQuote(std::string const& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void Sandbox::writePkgConfig(std::string const& repoUrl, std::string const& database,
                             std::string const& shareDirText, std::string const& cache) const
{
    std::ostringstream yml;
    yml << "database: " << yamlQuote(database.empty() ? databasePath().string() : database) << "\n"
        << "shareDir: " << yamlQuote(shareDirText.empty() ? shareDir().string() : shareDirText) << "\n"
        << "pkgRepoUrl: " << yamlQuote(repoUrl.empty() ? "http://127.0.0.1:9/" : repoUrl) << "\n"
        << "pkgRepoCachePath: " << yamlQuote(cache.empty() ? cacheDir().string() : cache) << "\n";
    fs::create_directories(configDir());
    std::ofstream(configDir() / "pkg.yml", std::ios::binary) << yml.str();
}

fs::path Sandbox::writeFile(fs::path const& relative, std::string const& content) const
{
    fs::path path = rootDir / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string readFile(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace Vandrel::Test
