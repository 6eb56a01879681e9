#include "core/VersionUtils.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace Vandrel::Linux::VersionUtils {

namespace {

// Explicit ASCII tests: the <cctype> ones depend on the locale and are
// undefined for negative chars, and bytes above 127 must be rejected.
bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAsciiAlnum(char c)
{
    return isAsciiDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void validateVersionComponent(std::string_view component, std::string const& version)
{
    if (component.empty())
        throw std::runtime_error(
            fmt::format("Invalid package version format '{}': empty component", version));
    if (!std::all_of(component.begin(), component.end(), isAsciiAlnum))
        throw std::runtime_error(fmt::format(
            "Invalid package version format '{}': only letters, digits and dots are allowed", version));
}

bool isZeroComponent(std::string const& component)
{
    return std::all_of(component.begin(), component.end(), [](char c) { return c == '0'; });
}

void trimTrailingZeroComponents(std::vector<std::string>& components)
{
    while (components.size() > 1 && isZeroComponent(components.back()))
        components.pop_back();
}

// The maximal run of digits or of non-digits at the front of text.
std::string_view nextSegment(std::string_view text)
{
    bool const digits = isAsciiDigit(text.front());
    std::size_t end = 1;
    while (end < text.size() && isAsciiDigit(text[end]) == digits)
        ++end;
    return text.substr(0, end);
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// Compares two digit runs by numeric value, whatever their length.
int compareNumbers(std::string_view x, std::string_view y)
{
    x.remove_prefix(std::min(x.find_first_not_of('0'), x.size() - 1));
    y.remove_prefix(std::min(y.find_first_not_of('0'), y.size() - 1));
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return sign(x.compare(y));
}

int compareComponents(std::string_view x, std::string_view y)
{
    while (!x.empty() || !y.empty()) {
        if (x.empty())
            return -1;
        if (y.empty())
            return 1;
        std::string_view const sx = nextSegment(x);
        std::string_view const sy = nextSegment(y);
        // string_view compares through char_traits<char>, which orders bytes
        // as unsigned values.
        int const result = isAsciiDigit(sx.front()) && isAsciiDigit(sy.front()) ? compareNumbers(sx, sy)
                                                                                : sign(sx.compare(sy));
        if (result != 0)
            return result;
        x.remove_prefix(sx.size());
        y.remove_prefix(sy.size());
    }
    return 0;
}

} // namespace

std::vector<std::string> parseVersionComponents(std::string const& version)
{
    if (version.empty())
        throw std::runtime_error("Invalid package version format: version must not be empty");
    std::vector<std::string> components;
    std::string_view rest = version;
    while (true) {
        std::size_t const dot = rest.find('.');
        std::string_view const piece = rest.substr(0, dot);
        validateVersionComponent(piece, version);
        components.emplace_back(piece);
        if (dot == std::string_view::npos)
            return components;
        rest.remove_prefix(dot + 1);
    }
}

bool isValidVersion(std::string const& version)
{
    try {
        parseVersionComponents(version);
        return true;
    } catch (...) {
        return false;
    }
}

int compareVersions(std::string const& a, std::string const& b)
{
    static std::string const missingComponent = "0";
    std::vector<std::string> left = parseVersionComponents(a);
    std::vector<std::string> right = parseVersionComponents(b);
    trimTrailingZeroComponents(left);
    trimTrailingZeroComponents(right);
    std::size_t const count = std::max(left.size(), right.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::string const& x = i < left.size() ? left[i] : missingComponent;
        std::string const& y = i < right.size() ? right[i] : missingComponent;
        if (int const result = compareComponents(x, y); result != 0)
            return result;
    }
    return 0;
}

} // namespace Vandrel::Linux::VersionUtils
