// How long a client waits before it asks again after the daemon refused a
// new job at once (a Timeout because every worker is busy).
//
// A refusal is cheap (about 0.1 ms of CPU on either side), while a worker
// left idle between two requests is lost throughput. The pause is therefore
// short while a request has waited for a short time - drawn from 6 to 18 ms,
// so that clients refused together do not all ask again at the same instant
// - and grows once the request has waited for more than 0.6 s, to a
// fiftieth of that wait (20 ms after a second), up to 250 to 750 ms, so
// that a crowd of waiting clients does not keep the daemon busy refusing.
//
// Thread-safety: one instance per request loop; not shared.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace Xadra {

class RetryPause {
public:
    // The pause's middle value while the request has waited up to
    // kSteadyFor, and its ceiling.
    static constexpr std::chrono::milliseconds kFirst{12};
    static constexpr std::chrono::milliseconds kSteadyFor{600};
    static constexpr std::chrono::milliseconds kMax{500};

    // seed: for reproducible tests; by default a random one.
    explicit RetryPause(uint32_t seed = std::random_device{}()) : rng_(seed) {}

    // The pause before the next attempt of a request first refused `waited`
    // ago: its middle value times a factor drawn from [0.5, 1.5].
    std::chrono::milliseconds next(std::chrono::steady_clock::duration waited);

    // The middle value for a request first refused `waited` ago.
    static std::chrono::milliseconds middle(std::chrono::steady_clock::duration waited);

private:
    std::minstd_rand rng_;
};

}  // namespace Xadra
