// The cover of a track: the front cover in the file's own tag, else an
// image beside the file, else none. Safe to call from any thread; a track
// already looked up costs one stat and a lock.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/port.h"

// Pictures of more bytes count as none.
constexpr size_t COVER_SIZE_LIMIT = 8 * 1024 * 1024;

struct Cover {
  std::string bytes;
  const char* mimeType;  // from the bytes: image/jpeg, image/png, image/gif, image/webp, image/bmp
  std::string sha1;      // of the bytes, 40 lower-case hex digits
  size_t size() const { return bytes.size(); }
};
using CoverPtr = std::shared_ptr<const Cover>;

// The MIME type the bytes' own signature gives, or none for anything but
// JPEG, PNG, GIF, WebP and BMP.
const char* imageMimeType(std::string_view bytes);

// The cover of the track in mediaFile: the tag's front cover (picture type
// 3; else its first picture) from a leading ID3v2 tag (APIC, v2.2 PIC), a
// FLAC PICTURE block, an Ogg METADATA_BLOCK_PICTURE, an MP4 covr item, an
// APE "Cover Art (Front)" item or an ASF WM/Picture; else the first of
// cover, folder, front, albumart (.jpg, .jpeg, .png, any case) in the
// file's folder. When mediaFile cannot be read, artFile (a file the player
// names, may be null) is the cover. None (nullptr) when there is no cover,
// its bytes are no image of a known kind or more than COVER_SIZE_LIMIT.
// Kept by file name, size and time of writing: a later call for the same
// unchanged file gives the same object without reading it. Never throws;
// none when memory runs out.
CoverPtr lookUpCover(const platform::FileName& mediaFile, const platform::FileName* artFile);

// Whether the cover lookUpCover would give is known without reading a
// picture: the same file, unchanged, was looked up lately (its cover, or
// none, in *cover), or there is nothing to look up (neither file can be
// found: none). False when only a lookup can tell. One stat and a lock:
// fit for the player's thread.
bool keptCover(const platform::FileName& mediaFile, const platform::FileName* artFile,
               CoverPtr* cover);

// The image file the player names for the current track (GET_ART_FILE),
// in *artFile; false when it names none. Sends to the player's window, so
// it runs on the player's thread.
bool askArtFile(platform::WindowHandle window, platform::FileName* artFile);

// Forgets the kept covers.
void forgetCovers();

// The pictures of a file's own tag (tags/cover_readers.cpp): the bytes of
// its front cover, else its first picture; empty when it has none.
struct MediaFile;
std::string embeddedCover(MediaFile& media);
