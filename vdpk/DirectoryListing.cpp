#include "vdpk/DirectoryListing.hpp"

namespace Vandrel::Linux::DirectoryListing {

namespace {

// The bytes \s stands for in the href pattern (the C locale's space class).
bool isPatternSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isQuote(char c)
{
    return c == '"' || c == '\'';
}

// Calls visit with the capture of every non-overlapping match of
// href\s*=\s*["']([^"']+)["'], left to right. At any start the pattern has a
// single way to match (no part of it can give back what it consumed), so
// trying each "href" in turn finds exactly the matches a regex search finds,
// in linear time and constant stack.
template <typename Visitor> void forEachHrefTarget(std::string_view text, Visitor&& visit)
{
    std::size_t const size = text.size();
    std::size_t pos = 0;
    while ((pos = text.find("href", pos)) != std::string_view::npos) {
        std::size_t i = pos + 4;
        while (i < size && isPatternSpace(text[i]))
            ++i;
        if (i == size || text[i] != '=') {
            ++pos;
            continue;
        }
        ++i;
        while (i < size && isPatternSpace(text[i]))
            ++i;
        if (i == size || !isQuote(text[i])) {
            ++pos;
            continue;
        }
        std::size_t const start = i + 1;
        std::size_t const end = text.find_first_of("\"'", start);
        // Without a quote after the opening one no later start can match either.
        if (end == std::string_view::npos)
            return;
        if (end == start) {
            ++pos;
            continue;
        }
        visit(text.substr(start, end - start));
        pos = end + 1;
    }
}

} // namespace

std::vector<std::string> findHrefTargets(std::string_view text)
{
    std::vector<std::string> targets;
    forEachHrefTarget(text, [&](std::string_view target) { targets.emplace_back(target); });
    return targets;
}

std::vector<Entry> parse(std::string_view text)
{
    std::vector<Entry> entries;
    forEachHrefTarget(text, [&](std::string_view link) {
        if (link.empty())
            return;
        link = link.substr(0, link.find('#'));
        if (link.empty())
            return;
        link = link.substr(0, link.find('?'));
        if (link.empty())
            return;
        if (link == ".." || link == "../")
            return;
        bool isDirectory = false;
        if (link.back() == '/') {
            link.remove_suffix(1);
            isDirectory = true;
            if (link.empty())
                return;
        }
        if (link.size() > 2 && link.find("://") != std::string_view::npos)
            return;
        if (link.front() == '/')
            return;
        entries.push_back(Entry{std::string(link), isDirectory});
    });
    return entries;
}

} // namespace Vandrel::Linux::DirectoryListing
