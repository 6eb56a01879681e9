#include "vd-build/RunInterrupt.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace Vandrel::Linux::RunInterrupt {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

std::atomic<int> caught{0};

constexpr std::array<int, 3> signals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, 3> previous{};

extern "C" void recordSignal(int number)
{
    int expected = 0;
    caught.compare_exchange_strong(expected, number);
}

char const* signalName(int number)
{
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

} // namespace

Catcher::Catcher()
{
    caught = 0;
    struct sigaction action {};
    action.sa_handler = recordSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal must not turn a file operation of the
    // teardown into an error of its own.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        sigaction(signals[i], nullptr, &previous[i]);
        // A signal the program was started to ignore (nohup, a background
        // job) stays ignored.
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(signals[i], &action, nullptr);
    }
}

Catcher::~Catcher()
{
    for (std::size_t i = 0; i < signals.size(); ++i)
        sigaction(signals[i], &previous[i], nullptr);
}

std::atomic<int> const& received()
{
    return caught;
}

void throwIfInterrupted()
{
    if (int const number = caught.load(); number != 0)
        throw std::runtime_error(fmt::format("The run was interrupted by {}", signalName(number)));
}

void sleepFor(std::chrono::milliseconds duration)
{
    auto const end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        throwIfInterrupted();
        auto const left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

} // namespace Vandrel::Linux::RunInterrupt
