#include "core/TempDir.hpp"

#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Vandrel {

namespace fs = std::filesystem;

namespace {

// Gives the owner full access to dir and every directory below it, so that a
// subdirectory made read-only does not keep its entries from being removed.
void makeWritable(fs::path const& dir) noexcept
{
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::directory)
            makeWritable(it->path());
    }
}

} // namespace

TempDir::TempDir(std::string_view prefix)
{
    static constexpr std::string_view characters = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 generator{std::random_device{"default"}()};
    static std::mutex generatorMutex; // makes construction on several threads safe
    std::uniform_int_distribution<std::size_t> pick(0, characters.size() - 1);

    fs::path const base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name(prefix);
        {
            std::lock_guard lock(generatorMutex);
            for (int i = 0; i < 10; ++i)
                name += characters[pick(generator)];
        }
        fs::path const candidate = base / name;
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            dirPath = candidate;
            return;
        }
        // Only a name already taken (by a directory or anything else) is worth another try.
        if (ec && ec != std::errc::file_exists)
            throw fs::filesystem_error("cannot create directory", candidate, ec);
    }
    throw std::runtime_error("Failed to create temporary directory");
}

TempDir::~TempDir()
{
    // Must never throw: failures are left alone after one retry.
    std::error_code ec;
    fs::remove_all(dirPath, ec);
    if (!ec)
        return;
    makeWritable(dirPath);
    fs::remove_all(dirPath, ec);
}

} // namespace Vandrel
