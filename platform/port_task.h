// Part of the port: a short task on a thread of its own, for work that must
// not run on the player's thread (reading a cover). Not included by
// platform/port.h: report/ alone uses it.
#pragma once

namespace platform {

using TaskBody = void (*)(void* context);

// CreateThread / pthread_create (detached, every signal blocked on POSIX):
// runs body(context) on a new thread that ends when body returns. The module
// holding body stays loaded until then, even when the player unloads it
// meanwhile. False when no thread can be had (body is then not run).
bool startTask(TaskBody body, void* context);

}  // namespace platform
