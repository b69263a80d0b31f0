// A media file's tag frames as (frame number, text) pairs, for the tag
// fragment of the form body (report/form_body.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/port.h"

// A frame's text holds at most this many bytes.
constexpr size_t FRAME_TEXT_CHARS = 1024;
// The tag fragment of the form body holds less than this many bytes.
constexpr size_t TAG_FRAGMENT_SIZE = 8192;

struct TagPair {
  int number;        // the frame number
  std::string text;  // UTF-8, or Latin-1 bytes as stored (utf8Setting off)
};
using TagPairs = std::vector<TagPair>;

// The pairs of the file's frames, in the order its reader walks them. The
// walk ends with the pair that takes the texts' total past
// TAG_FRAGMENT_SIZE: an escaped text is never shorter than its text, so no
// fragment carries a later pair. Text stored as Latin-1 comes as UTF-8 when
// utf8Setting is set, else as stored. The pairs of the last file read are
// kept with the file's size and time of writing and the utf8Setting they
// were read under; asked again for that file unchanged under the same
// setting, they are handed out without reading the file. A file that
// cannot be read gives no pairs; none, after the "Out of memory" box, when
// memory runs out.
std::optional<TagPairs> collectTagFields(const platform::FileName& fileName);
// The same for a name the player gives in the system's code page, and for
// one it gives in UTF-16 (terminated).
std::optional<TagPairs> collectTagFields(const char* fileName);
std::optional<TagPairs> collectTagFieldsWide(const uint16_t* wideName);

// Forgets the kept pairs.
void forgetTagFields();
