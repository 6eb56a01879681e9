#pragma once

#include "tests/support/Sandbox.hpp"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace Vandrel::Test {

// Sets (or, with no value, removes) one environment variable of the test
// process and restores its former state when it goes out of scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> const& value) : name(std::move(name))
    {
        if (char const* old = std::getenv(this->name.c_str()))
            previous = old;
        if (value)
            setenv(this->name.c_str(), value->c_str(), 1);
        else
            unsetenv(this->name.c_str());
    }
    ~ScopedEnv()
    {
        if (previous)
            setenv(name.c_str(), previous->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    ScopedEnv(ScopedEnv const&) = delete;
    ScopedEnv& operator=(ScopedEnv const&) = delete;

  private:
    std::string name;
    std::optional<std::string> previous;
};

// TMPDIR pointed at a "tmp" directory below a sandbox for as long as the
// object lives, so unpack directories and the runner's logs stay inside it.
class SandboxTmpDir {
  public:
    explicit SandboxTmpDir(Sandbox const& sandbox)
        : dir((std::filesystem::create_directories(sandbox.root() / "tmp"), sandbox.root() / "tmp")),
          env("TMPDIR", dir.string())
    {
    }
    std::filesystem::path const& path() const { return dir; }

  private:
    std::filesystem::path dir;
    ScopedEnv env;
};

} // namespace Vandrel::Test
