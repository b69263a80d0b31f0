// Owned byte buffers and the shared routines that make them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char[], FreeDeleter>;

// size zero bytes, or none after the "Out of memory" error box.
Buffer allocZeroed(size_t size);

// The allocator behind allocZeroed; tests swap it to provoke failures.
extern void* (*rawAllocate)(size_t size);

// A new buffer holding text with every byte outside A-Z a-z 0-9 - . _ ~
// written as %XX (upper-case hex); none when it cannot be allocated.
Buffer escapeValue(const char* text);
