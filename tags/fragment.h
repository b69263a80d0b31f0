// Building the wm_id3 fragment one frame at a time: the escaping, the
// 1024-byte entry and the 8192 estimate every tag reader shares.
#pragma once

#include <cstddef>

// A frame's value: at most this many bytes, then the terminator.
constexpr size_t FRAME_TEXT_CHARS = 1024;

struct FragmentBuilder {
  char* out;             // TAG_FRAGMENT_SIZE bytes, zero-filled
  size_t used = 0;       // bytes written
  size_t estimate = 0;   // the running estimate
  bool stopped = false;  // the estimate was passed: no more entries
  bool lossy = false;    // a value went out empty for want of memory
};

// Appends "wm_id3[number]=escaped value&" unless the estimate passes the
// fragment's size, which stops the walk (the fragment keeps its trailing
// "&"). Returns false once the walk is stopped.
bool appendFrame(FragmentBuilder& builder, int number, const char* value);

// After the last frame of a walk that was not stopped: drops the trailing "&".
void finishFragment(FragmentBuilder& builder);
