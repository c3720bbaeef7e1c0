// How much slower this build runs its tests than a plain one (the
// sanitizers, qemu-user for a cross build), for the few tests whose subject
// is time itself: how soon a time-out fires.
#ifndef KESTRANE_TESTS_TIME_SCALE_H
#define KESTRANE_TESTS_TIME_SCALE_H

#include <chrono>
#include <cstdlib>

namespace timing {

// KESTRANE_TEST_TIME_SCALE, which kestrane_test sets; 1 when unset.
inline int scale()
{
    const char *text = std::getenv("KESTRANE_TEST_TIME_SCALE");
    const int scale = text != nullptr ? std::atoi(text) : 1;
    return scale > 0 ? scale : 1;
}

// How late past its bound a time-out may fire: the wake-up, and the work
// of the call around the wait, a second in a plain build.
inline std::chrono::milliseconds slack()
{
    return std::chrono::milliseconds(1000 * scale());
}

// The time a call takes, on the monotonic clock.
template <typename Call>
std::chrono::milliseconds time_of(Call call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace timing

#endif
