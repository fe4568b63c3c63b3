#pragma once
// Engine time for wire tests that lose frames on purpose.

#include <chrono>
#include <cstdint>

#include "protocol/engine.h"

namespace aputil::test {

// Milliseconds of the steady clock.
inline int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Engine time running twenty times faster than the wall clock while it is in
// scope, so the 1000 ms reply waits of a lossy link cost 50 ms each; only
// time-outs get shorter. Replies on a veth pair take microseconds, far inside
// even the shortened waits.
class FastClock {
public:
    FastClock() { SetClockHook(&Now); }
    ~FastClock() { SetClockHook(nullptr); }
    FastClock(const FastClock&) = delete;
    FastClock& operator=(const FastClock&) = delete;

private:
    static uint64_t Now() { return static_cast<uint64_t>(SteadyMs()) * 20; }
};

}  // namespace aputil::test
