#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace Vandrel::Linux {

// The failure of a tree copy, naming both roots and the entry.
class CopyFilesError : public std::runtime_error {
  public:
    CopyFilesError(std::filesystem::path from, std::filesystem::path to, std::filesystem::path file,
                   std::string const& reason);

    std::filesystem::path from;
    std::filesystem::path to;
    std::filesystem::path file;
};

class CopyDigest;

// Copies all bytes of one open regular file into another: in the kernel where
// the file systems allow it, else through sendfile, else by reads and writes.
// A digest sees every byte, so with one the bytes always pass through a
// buffer. target names the destination in errors.
void copyFileBytes(int in, int out, std::filesystem::path const& target, CopyDigest* digest = nullptr);

// Copies the tree below the directory from into to (created when missing):
// every entry by its own name below an open directory, symbolic links as
// links (never followed), modes and owners kept. from itself must be a real
// directory, not a link to one. Throws CopyFilesError for a failing entry.
void copyTree(std::filesystem::path const& from, std::filesystem::path const& to);
// The same between two open directories; the names are for messages.
void copyTree(int fromDirectory, std::filesystem::path const& fromName, int toDirectory,
              std::filesystem::path const& toName);

// Copies the regular file name of directory fromDirectory to the new file
// targetName of targetDirectory, replacing whatever entry is there without
// following it. A source that is not a regular file (a link among them) is
// refused. The mode is the source's. fromName names the source in errors.
void copyRegularFileAt(int fromDirectory, std::string const& name, std::filesystem::path const& fromName,
                       int targetDirectory, std::string const& targetName);

// Removes the entry name of the open directory parent with everything below
// it, following no symbolic link and never descending into another file
// system (a mount there is an error). An absent entry is nothing to do.
// pathName names the entry in errors.
void removeTreeAt(int parent, std::string const& name, std::filesystem::path const& pathName);

} // namespace Vandrel::Linux
