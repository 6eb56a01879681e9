#include "vdpk/PkgCli.hpp"

#include "core/ArchiveManifest.hpp"
#include "core/FileLock.hpp"
#include "core/PackageManager.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/Signature.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"
#include "vdpk/PackageFetcher.hpp"
#include "vdpk/UsageText.hpp"

// argh asserts that no argument is empty, but an empty argument is an ordinary
// positional (an empty package name must reach its own error message), and the
// library copes with it once the assertion is out of the way. Only this file
// includes it, so the assertions of every other file stay as they are.
#pragma push_macro("NDEBUG")
#ifndef NDEBUG
#define NDEBUG
#endif
#include <argh.h>
#pragma pop_macro("NDEBUG")

#include <fmt/format.h>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The text lives in usage.txt beside this file, which the tests read too.
using Generated::usageText;

// One answer line from standard input: yes only for "y" or "yes" in any case.
bool readYes()
{
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    for (char& c : answer)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer == "y" || answer == "yes";
}

// Both prompts: the first n - 1 names, then the question about all n.
template <typename Names> bool confirm(Names const& names, char const* listIntro, char const* question)
{
    auto const n = names.size();
    if (n <= 1)
        return true;
    std::cerr << listIntro << (n - 1) << " packages: ";
    for (std::size_t i = 0; i + 1 < n; ++i)
        std::cerr << (i ? ", " : "") << names[i];
    std::cerr << std::endl;
    std::cerr << question << n << " packages? [y/N] " << std::flush;
    return readYes();
}

} // namespace

PkgCli::PkgCli() : parser(std::make_unique<argh::parser>()) {}

PkgCli::~PkgCli() = default;

int PkgCli::run(int argc, char const* const* argv)
{
    try {
        parseArgs(argc, argv);
        if (helpRequested()) {
            printHelp();
            return 0;
        }
        loadConfig();
        dispatch();
    } catch (std::exception const& e) {
        std::cerr << "Error: " << e.what() << std::endl;
        std::cerr << "Use --help for help." << std::endl;
        return 1;
    }
    return 0;
}

void PkgCli::parseArgs(int argc, char const* const* argv)
{
    *parser = argh::parser();
    parser->add_params({"--config", "-c", "--prefix", "-r"});
    parser->parse(argc, argv);
}

bool PkgCli::helpRequested() const
{
    return (*parser)["--help"];
}

void PkgCli::printHelp() const
{
    std::cout << usageText << std::flush;
}

std::string PkgCli::resolveConfigPath() const
{
    std::string dir;
    if ((*parser)({"--config", "-c"}) >> dir && !dir.empty())
        return dir;
    if (char const* env = std::getenv("VDPK_CONFIG"); env != nullptr && *env != '\0')
        return env;
    return "/etc/vdpk";
}

void PkgCli::loadConfig()
{
    config.loadConfig(resolveConfigPath());
}

void PkgCli::configurePackageManager(PackageManager& manager) const
{
    auto const& params = parser->params();
    for (char const* name : {"prefix", "r"}) {
        if (auto it = params.find(name); it != params.end()) {
            manager.setInstallPrefix(it->second);
            return;
        }
    }
}

void PkgCli::dispatch()
{
    bool const initDatabase = (*parser)["--init-database"];
    PackageManager manager(config, initDatabase);
    configurePackageManager(manager);
    // Queries only read: no lock, and the database is opened read-only.
    if (auto const query = requestedQuery()) {
        PkgQueries::run(*query, queryArgument(*query), manager, std::cout);
        return;
    }

    // Held until the command ends: what is installed is checked and changed
    // under one lock, and the kernel drops it should the process die.
    FileLock lock;
    if (changesInstallRoot())
        lock = manager.lockInstallRoot();

    if ((*parser)[{"--list", "-l"}]) {
        listInstalledPackages(manager);
        return;
    }
    // What a killed run left half done is repaired before this command reads
    // what is installed.
    if ((*parser)[{"--install", "-i"}] || (*parser)[{"--uninstall", "-D"}])
        manager.recoverInterruptedOperations();
    if ((*parser)[{"--install", "-i"}])
        install(manager);
    if ((*parser)[{"--uninstall", "-D"}])
        uninstall(manager);
}

bool PkgCli::changesInstallRoot() const
{
    // Listing only reads, unless it is the command that recreates the database.
    if ((*parser)[{"--list", "-l"}])
        return (*parser)["--init-database"];
    return (*parser)[{"--install", "-i"}] || (*parser)[{"--uninstall", "-D"}];
}

void PkgCli::listInstalledPackages(PackageManager const& manager) const
{
    for (auto const& name : manager.installedPackages())
        std::cout << name << '\n';
    std::cout << std::flush;
    // Listing changes nothing; the next install or uninstall repairs it.
    for (auto const& pending : manager.pendingOperations())
        std::cerr << fmt::format("Warning: an interrupted {} of package {} {} is pending; the next --install "
                                 "or --uninstall finishes or undoes it",
                                 pending.operation, pending.package, pending.version)
                  << std::endl;
}

std::optional<PkgQueries::Query> PkgCli::requestedQuery() const
{
    using PkgQueries::Query;
    if ((*parser)[{"--list", "-l"}])
        return std::nullopt; // listing wins over every other command
    std::optional<Query> found;
    for (Query query : {Query::owner, Query::files, Query::info, Query::verify, Query::orphans}) {
        char const* const option = PkgQueries::optionName(query);
        if (!(*parser)[option] && parser->params().count(option + 2) == 0)
            continue;
        if (found)
            throw std::runtime_error(fmt::format("Options '{}' and '{}' cannot be combined",
                                                 PkgQueries::optionName(*found), option));
        found = query;
    }
    if (found && ((*parser)[{"--install", "-i"}] || (*parser)[{"--uninstall", "-D"}]))
        throw std::runtime_error(fmt::format("Option '{}' cannot be combined with '{}'",
                                             PkgQueries::optionName(*found),
                                             (*parser)[{"--install", "-i"}] ? "--install" : "--uninstall"));
    return found;
}

std::optional<std::string> PkgCli::queryArgument(PkgQueries::Query query) const
{
    auto const& params = parser->params();
    if (auto it = params.find(PkgQueries::optionName(query) + 2); it != params.end())
        return it->second;
    if (parser->pos_args().size() > 1)
        return firstPositional();
    return std::nullopt;
}

std::string PkgCli::firstPositional() const
{
    auto const& positional = parser->pos_args();
    return positional.size() > 1 ? positional[1] : std::string();
}

void PkgCli::install(PackageManager& manager)
{
    // Dependencies always come from the repository, also for a local archive.
    PackageFetcher fetcher(config);
    // Trusted keys make every archive need a signature by one of them.
    fetcher.setTrustedKeys(Signature::loadTrustedKeys(fs::path(resolveConfigPath()) / "keys"));
    fs::path const archive = requestedPackagePath(fetcher);
    auto const targets = packagesToInstall(archive, manager, fetcher);
    if (!confirmDependencyInstall(targets))
        return;
    // Packages chosen from the repository's index are downloaded only now,
    // all of them before any is installed: a refused one installs nothing.
    std::vector<RepositoryIndexEntry const*> indexed;
    for (auto const& target : targets)
        if (RepositoryIndexEntry const* entry = fetcher.indexEntryAt(target.path))
            indexed.push_back(entry);
    fetcher.fetchIndexed(indexed);
    installPackageSet(targets, manager);
}

fs::path PkgCli::requestedPackagePath(PackageFetcher const& fetcher) const
{
    if ((*parser)[{"--file", "-f"}]) {
        fs::path const archive = fs::absolute(firstPositional());
        // Checked before anything reads the archive, its manifest included.
        fetcher.verifyArchive(archive, archive.string());
        return archive;
    }
    // With an index nothing is downloaded before the prompt.
    PackageFetcher::checkPackageName(firstPositional());
    if (fetcher.repositoryIndex())
        return fetcher.cachePath(fetcher.indexEntry(firstPositional()).path);
    return fetcher.fetch(firstPositional());
}

Package PkgCli::loadPackageFromArchive(fs::path const& archive) const
{
    return readArchiveManifest(archive);
}

Package PkgCli::packageOf(fs::path const& archive, PackageFetcher const& fetcher) const
{
    // What the index says of a package stands in for its manifest until the
    // archive is downloaded; the manifest is then checked against it.
    RepositoryIndexEntry const* entry = fetcher.indexEntryAt(archive);
    if (!entry)
        return loadPackageFromArchive(archive);
    Package package;
    package.os = entry->os;
    package.name = entry->name;
    package.version = entry->version;
    package.arch = Package::archFromString(entry->arch);
    package.depends = entry->depends;
    return package;
}

std::vector<PackageTopologicalSorterTarget> PkgCli::packagesToInstall(fs::path const& archive,
                                                                      PackageManager const& manager,
                                                                      PackageFetcher const& fetcher) const
{
    Package const root = packageOf(archive, fetcher);

    PackageTopologicalSorterConfig sorterConfig;
    // The requested package is never skipped here: the installer itself decides
    // about an installed version of it.
    sorterConfig.shouldSkip = [&manager](Package const& package, bool isRoot) {
        return !isRoot && manager.isInstall(package.name);
    };
    sorterConfig.resolveDependency = [this, &fetcher](PackageTopologicalSorterTarget const&,
                                                      std::string const& name) {
        if (fetcher.repositoryIndex()) {
            RepositoryIndexEntry const& entry = fetcher.indexEntry(name);
            fs::path const path = fetcher.cachePath(entry.path);
            return PackageTopologicalSorterTarget{packageOf(path, fetcher), path};
        }
        fs::path const path = fetcher.fetch(name);
        return PackageTopologicalSorterTarget{loadPackageFromArchive(path), path};
    };
    return PackageTopologicalSorter(std::move(sorterConfig)).sort(root, archive);
}

bool PkgCli::confirmDependencyInstall(std::vector<PackageTopologicalSorterTarget> const& targets) const
{
    std::vector<std::string> names;
    names.reserve(targets.size());
    for (auto const& target : targets)
        names.push_back(target.package.name);
    return confirm(names, "This package requires ", "Are you sure you want to install ");
}

void PkgCli::installPackageSet(std::vector<PackageTopologicalSorterTarget> const& targets,
                               PackageManager& manager) const
{
    // The list ends with the package asked for; the others come as its dependencies.
    for (auto const& target : targets)
        manager.install(target.path.string(),
                        &target == &targets.back() ? InstallReason::requested : InstallReason::dependency);
}

void PkgCli::uninstall(PackageManager& manager)
{
    std::string const name = firstPositional();
    auto const names = manager.packagesToUninstall(name);
    if (confirmDependencyDelete(names))
        manager.uninstall(name);
}

bool PkgCli::confirmDependencyDelete(std::vector<std::string> const& names) const
{
    return confirm(names, "This package is required by ", "Are you sure you want to delete ");
}

} // namespace Vandrel::Linux
