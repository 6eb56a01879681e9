#include "vdpk/PkgQueries.hpp"

#include "core/PackageManager.hpp"
#include "core/PackageQuery.hpp"

#include <fmt/format.h>

#include <ctime>
#include <stdexcept>

namespace Vandrel::Linux::PkgQueries {

namespace {

std::string joined(std::vector<std::string> const& names)
{
    std::string text;
    for (auto const& name : names)
        text += (text.empty() ? "" : " ") + name;
    return text;
}

// "Key: value", or "Key:" alone for an empty value.
void line(std::ostream& out, char const* key, std::string const& value)
{
    out << key << ':' << (value.empty() ? "" : " ") << value << '\n';
}

std::string utcTime(std::int64_t seconds)
{
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", parts.tm_year + 1900, parts.tm_mon + 1,
                       parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

std::string const& required(Query query, std::optional<std::string> const& argument, char const* what)
{
    if (!argument || argument->empty())
        throw std::runtime_error(fmt::format("Option '{}' requires {}", optionName(query), what));
    return *argument;
}

} // namespace

char const* optionName(Query query)
{
    switch (query) {
    case Query::owner:
        return "--owner";
    case Query::files:
        return "--files";
    case Query::info:
        return "--info";
    case Query::verify:
        return "--verify";
    default:
        return "--orphans";
    }
}

void run(Query query, std::optional<std::string> const& argument, PackageManager const& manager,
         std::ostream& out)
{
    PackageQuery const packages(manager);
    switch (query) {
    case Query::owner: {
        std::string const& path = required(query, argument, "a path");
        std::string const name = packages.recordedName(path);
        auto const owners = packages.owners(name);
        if (owners.empty())
            throw std::runtime_error(fmt::format("No installed package owns '{}'", packages.pathOf(name)));
        for (auto const& owner : owners)
            out << owner << '\n';
        break;
    }
    case Query::files:
        for (auto const& name : packages.files(required(query, argument, "a package name")))
            out << packages.pathOf(name) << '\n';
        break;
    case Query::info: {
        PackageInfo const info = packages.info(required(query, argument, "a package name"));
        line(out, "Name", info.name);
        line(out, "Version", info.version);
        line(out, "Depends", joined(info.depends));
        line(out, "Required-By", joined(info.requiredBy));
        line(out, "Install-Reason", info.requested ? "requested" : "dependency");
        line(out, "Files", std::to_string(info.fileCount));
        line(out, "Size", info.size ? std::to_string(*info.size) : "unknown");
        line(out, "Installed", info.installedAt ? utcTime(*info.installedAt) : "unknown");
        break;
    }
    case Query::verify: {
        std::optional<std::string> package;
        if (argument && !argument->empty())
            package = argument;
        std::size_t const failures = packages.verify(package, [&](VerifyFinding const& finding) {
            std::string const path = packages.pathOf(finding.name);
            switch (finding.kind) {
            case VerifyFinding::Kind::missing:
                out << "missing: " << path << '\n';
                break;
            case VerifyFinding::Kind::changed: {
                std::string what;
                for (auto const& each : finding.what)
                    what += (what.empty() ? "" : ", ") + each;
                out << "changed: " << path << " (" << what << ")\n";
                break;
            }
            case VerifyFinding::Kind::unreadable:
                out << "unreadable: " << path << " (" << finding.reason << ")\n";
                break;
            case VerifyFinding::Kind::unverifiable:
                out << "unverifiable: " << path << '\n';
                break;
            }
        });
        out << std::flush;
        if (failures > 0)
            throw std::runtime_error(fmt::format("{} installed file{} from what was installed", failures,
                                                 failures == 1 ? " differs" : "s differ"));
        break;
    }
    case Query::orphans:
        for (auto const& name : packages.orphans())
            out << name << '\n';
        break;
    }
    out << std::flush;
}

} // namespace Vandrel::Linux::PkgQueries
