// Waking the player's event loop from another thread: a descriptor the loop
// waits on beside its input, made readable by wakeLoop, and the handler the
// loop runs on its own thread when it is.
#pragma once

namespace platform::posix {

// The descriptor the loop polls for reading; -1 when none could be made.
int wakeDescriptor();
// Any thread, any time: the loop runs the handler soon (wakes that come
// before it does are run once).
void wakeLoop();
// The loop's thread: empties the descriptor and runs the handler.
void runWakeHandler();
// What runWakeHandler runs; null for nothing. Set on the loop's thread.
void setWakeHandler(void (*handler)());

}  // namespace platform::posix
