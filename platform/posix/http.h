// What the POSIX HTTP backend tells beyond the port, for tests and
// benchmarks that must know when the sender thread is done.
#pragma once

namespace platform::posix {

// Whether a post started by httpPost is still under way. Unlike
// httpPostOutcome it takes nothing.
bool sendRunning();

}  // namespace platform::posix
