// Keeping a shared object loaded while a thread of ours runs its code: the
// thread takes a reference to the object and drops it (dlclose) when it
// ends, so unloading the object meanwhile never unmaps running code.
#pragma once

namespace platform::posix {

// A reference to the shared object holding code (dlopen of its own file,
// RTLD_NOLOAD); null when code is in the program itself, which is never
// unloaded.
void* referenceToObjectOf(const void* code);
// Makes the per-thread slot the holds use; call on the starting thread
// before the first thread holds anything (threads never make it).
void prepareModuleHolds();
// The calling thread holds module (a reference from referenceToObjectOf)
// until it ends. Should the slot refuse it, the reference is never dropped:
// the object stays loaded for good rather than risk running it unmapped.
void holdUntilThreadEnds(void* module);

}  // namespace platform::posix
