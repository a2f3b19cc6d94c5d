#include "RetryPause.h"

#include <algorithm>

namespace Xadra {

std::chrono::milliseconds RetryPause::middle(std::chrono::steady_clock::duration waited) {
    using namespace std::chrono;
    const double w = duration<double, std::milli>(std::max(waited, steady_clock::duration::zero())).count();
    const double steady = static_cast<double>(kSteadyFor.count());
    const double first = static_cast<double>(kFirst.count());
    const double ms = w <= steady ? first : std::min(first * w / steady, static_cast<double>(kMax.count()));
    return milliseconds(static_cast<long>(ms));
}

std::chrono::milliseconds RetryPause::next(std::chrono::steady_clock::duration waited) {
    std::uniform_real_distribution<double> factor(0.5, 1.5);
    return std::chrono::milliseconds(static_cast<long>(static_cast<double>(middle(waited).count()) * factor(rng_)));
}

}  // namespace Xadra
