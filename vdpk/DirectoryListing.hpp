#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Vandrel::Linux {

// One link of a directory listing.
struct DirectoryEntry {
    std::string name; // the link target, cleaned, not percent-decoded
    bool isDirectory = false;
};

namespace DirectoryListing {

using Entry = DirectoryEntry;

// The links of an HTML directory listing that name entries of the directory
// itself: no parent, no absolute or other-site links, query and fragment cut.
std::vector<Entry> parse(std::string_view text);

// The raw link targets of every href attribute in text, in order: the
// captures of href\s*=\s*["']([^"']+)["'] (case-sensitive), matched without a
// regex engine so that neither the text nor a link is limited in length.
std::vector<std::string> findHrefTargets(std::string_view text);

} // namespace DirectoryListing

} // namespace Vandrel::Linux
