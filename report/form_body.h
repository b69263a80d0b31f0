// The form body of one update, written into a fixed buffer: the one place
// that escapes its values and bounds what it carries.
#pragma once

#include <cstddef>

#include "base/snapshot.h"
#include "tags/tag_fields.h"

// The whole body of an update, written from what the player played:
// writeFormBody with the snapshot's status and title, then "&" and the tag
// fragment of its frames when it has them (appendTagFragment). Returns the
// body's length.
size_t writeBody(const PlayerSnapshot& snapshot, char* body, size_t capacity);

// Writes "wm_action=wm_data&wm_data[status]=<status>&wm_data[title]=<title>"
// into body (capacity bytes, terminator included), replacing what it held.
// The title is escaped and, when the rest of the buffer cannot hold it, cut
// between characters: a well-formed UTF-8 sequence is never split, nor is
// an escape. Returns the body's length.
size_t writeFormBody(char* body, size_t capacity, long status, const char* title);

// Appends "&" and the tag fragment of pairs (writeTagFragment) to the body
// of length used, as far as it has room. Returns the body's new length.
size_t appendTagFragment(char* body, size_t capacity, size_t used, const TagPairs& pairs);

// Writes the tag fragment of pairs, "wm_id3[<number>]=<escaped text>" joined
// by "&", into out (room bytes, then the terminator) and returns its length.
// An entry with its "&" holds at most 1024 bytes: a longer escaped text is
// cut between characters, as the title is. A running estimate adds each escaped text's
// length and 20 bytes; the pair that takes it past TAG_FRAGMENT_SIZE, and
// every later one, is left out, and the fragment then keeps the "&" after
// its last entry. Pairs that do not fit room are dropped whole from the end.
size_t writeTagFragment(char* out, size_t room, const TagPairs& pairs);
