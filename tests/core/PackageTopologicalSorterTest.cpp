#include "core/PackageTopologicalSorter.hpp"

#include "tests/support/Errors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Vandrel::Linux {
namespace {

Package makePackage(std::string const& name, std::vector<std::string> depends = {})
{
    Package p;
    p.os = "linux";
    p.name = name;
    p.version = "1.0";
    p.depends = std::move(depends);
    return p;
}

// An in-memory set of packages; every resolve and skip question is logged.
class SorterTest : public ::testing::Test {
  protected:
    void add(std::string const& name, std::vector<std::string> depends = {})
    {
        packages[name] = makePackage(name, std::move(depends));
    }

    PackageTopologicalSorterConfig config()
    {
        PackageTopologicalSorterConfig c;
        c.shouldSkip = [this](Package const& p, bool isRoot) {
            asked.push_back(p.name + (isRoot ? "(root)" : ""));
            return skipped.count(p.name) > 0;
        };
        c.resolveDependency = [this](PackageTopologicalSorterTarget const& from, std::string const& name) {
            resolved.push_back(from.package.name + "->" + name);
            auto it = packages.find(name);
            if (it == packages.end())
                throw std::runtime_error("no such package: " + name);
            return PackageTopologicalSorterTarget{it->second, "/repo/" + name};
        };
        return c;
    }

    // Names of the sorted targets, checking each path on the way.
    std::vector<std::string> sortNames(std::string const& root, PackageTopologicalSorterConfig c)
    {
        std::vector<std::string> names;
        for (auto const& t : PackageTopologicalSorter(std::move(c)).sort(packages.at(root), "/src/" + root)) {
            EXPECT_EQ(t.path, (t.package.name == root ? "/src/" : "/repo/") + t.package.name);
            names.push_back(t.package.name);
        }
        return names;
    }
    std::vector<std::string> sortNames(std::string const& root) { return sortNames(root, config()); }

    std::string sortError(std::string const& root) { return sortError(root, config()); }
    std::string sortError(std::string const& root, PackageTopologicalSorterConfig c)
    {
        return Vandrel::Test::messageOf([&] { sortNames(root, std::move(c)); });
    }

    using Names = std::vector<std::string>;
    std::map<std::string, Package> packages;
    std::set<std::string> skipped;
    Names asked;
    Names resolved;
};

TEST_F(SorterTest, LonePackageYieldsItselfWithItsPath)
{
    add("alpha");
    EXPECT_EQ(sortNames("alpha"), Names{"alpha"});
    EXPECT_EQ(asked, Names{"alpha(root)"});
}

TEST_F(SorterTest, DiamondIsOrderedByNameAndEmitsSharedDependencyOnce)
{
    add("alpha", {"gamma", "beta"});
    add("beta", {"delta"});
    add("gamma", {"delta"});
    add("delta");
    EXPECT_EQ(sortNames("alpha"), (Names{"delta", "beta", "gamma", "alpha"}));
    EXPECT_EQ(resolved, (Names{"alpha->beta", "beta->delta", "alpha->gamma", "gamma->delta"}));
    // The second visit of delta stops before asking again; the manifest is untouched.
    EXPECT_EQ(asked, (Names{"alpha(root)", "beta", "delta", "gamma"}));
    EXPECT_EQ(packages["alpha"].depends, (Names{"gamma", "beta"}));
}

TEST_F(SorterTest, NamesSortByBytes)
{
    add("root", {"b", "a-x", "\xc3\xa9", "B", "a", "ab"});
    for (auto n : {"b", "a-x", "\xc3\xa9", "B", "a", "ab"})
        add(n);
    EXPECT_EQ(sortNames("root"), (Names{"B", "a", "a-x", "ab", "b", "\xc3\xa9", "root"}));
}

TEST_F(SorterTest, DuplicateDependencyResolvesTwiceButIsEmittedOnce)
{
    add("alpha", {"beta", "beta"});
    add("beta");
    EXPECT_EQ(sortNames("alpha"), (Names{"beta", "alpha"}));
    EXPECT_EQ(resolved, (Names{"alpha->beta", "alpha->beta"}));
}

class SorterSkipTest : public SorterTest {};

TEST_F(SorterSkipTest, SkippedRootYieldsNothingAndResolvesNothing)
{
    add("alpha", {"beta"});
    skipped = {"alpha"};
    EXPECT_TRUE(sortNames("alpha").empty());
    EXPECT_TRUE(resolved.empty());
}

TEST_F(SorterSkipTest, SkippedDependencyIsLeftOutWithItsDependenciesAndAskedOnce)
{
    add("alpha", {"beta", "gamma"});
    add("beta", {"delta"});
    add("gamma", {"beta"});
    add("delta");
    skipped = {"beta"};
    EXPECT_EQ(sortNames("alpha"), (Names{"gamma", "alpha"}));
    EXPECT_EQ(asked, (Names{"alpha(root)", "beta", "gamma"}));
    EXPECT_EQ(resolved, (Names{"alpha->beta", "alpha->gamma", "gamma->beta"}));
}

TEST_F(SorterSkipTest, EmptyShouldSkipSkipsNothing)
{
    add("alpha", {"beta"});
    add("beta");
    PackageTopologicalSorterConfig c = config();
    c.shouldSkip = nullptr;
    EXPECT_EQ(sortNames("alpha", c), (Names{"beta", "alpha"}));
}

class SorterFailureTest : public SorterTest {};

TEST_F(SorterFailureTest, CycleNamesThePackageReachedTwice)
{
    add("alpha", {"beta"});
    add("beta", {"alpha"});
    EXPECT_EQ(sortError("alpha"), "E1: dependency cycle detected while resolving 'alpha'");
    add("self", {"self"});
    EXPECT_EQ(sortError("self"), "E1: dependency cycle detected while resolving 'self'");
}

TEST_F(SorterFailureTest, CycleThroughASkippedPackageIsNoError)
{
    add("alpha", {"beta"});
    add("beta", {"alpha"});
    skipped = {"beta"};
    EXPECT_EQ(sortNames("alpha"), Names{"alpha"});
}

TEST_F(SorterFailureTest, CallbackErrorsPassThrough)
{
    add("alpha", {"missing"});
    EXPECT_EQ(sortError("alpha"), "no such package: missing");

    add("beta", {"alpha"});
    PackageTopologicalSorterConfig c = config();
    c.shouldSkip = [](Package const& p, bool) -> bool { throw std::runtime_error("cannot check " + p.name); };
    EXPECT_EQ(sortError("beta", c), "cannot check beta");
}

TEST_F(SorterFailureTest, EmptyResolverFailsOnlyWhenThereAreDependencies)
{
    add("alpha", {"beta"});
    add("beta");
    PackageTopologicalSorterConfig c = config();
    c.resolveDependency = nullptr;
    EXPECT_EQ(sortNames("beta", c), Names{"beta"});
    EXPECT_THROW(sortNames("alpha", c), std::bad_function_call);
}

class SorterKeyTest : public ::testing::Test {};

TEST_F(SorterKeyTest, KeyJoinsOsNameVersionAndArch)
{
    Package p = makePackage("a b");
    p.version = "2.4.1";
    EXPECT_EQ(PackageTopologicalSorter::packageKey(p), "linux/a b/2.4.1/x64");
}

} // namespace
} // namespace Vandrel::Linux
