// The repair of an ID3v2 tag that taggers got wrong, made before id3lib or
// TagLib reads it: the tag is read the tolerant way (frame sizes that land
// on frame boundaries, damaged frames skipped, compressed frames inflated,
// UTF-16 without a byte order mark taken as little-endian, ...) and written
// again, same major version, in the plain form both libraries read. A tag
// that needs none of this is left alone, byte for byte.
#pragma once

#include <cstddef>
#include <string>

#include "tags/media_file.h"

// The most bytes a repaired tag may hold, inflated frames included; a tag
// that would take more is left as it is.
constexpr size_t REPAIRED_TAG_LIMIT = 16 * 1024 * 1024;

// tag holds a whole ID3v2 tag as stored (its ten-byte header, then at least
// the size that header gives, or what the file has of it). True, with out
// the repaired tag, when it needs repair; false, out untouched, when it
// needs none or is no tag this repair reads. Throws std::bad_alloc.
bool repairId3v2Tag(const unsigned char* tag, size_t size, std::string& out);

// The value of a text frame's body (an encoding byte, then strings): the
// strings joined by "/", as UTF-8, or Latin-1 bytes as stored when
// encodedTextIsLatin1; empty when damaged. Throws std::bad_alloc.
std::string encodedTextValue(const unsigned char* body, size_t size);
bool encodedTextIsLatin1(const unsigned char* body, size_t size);

// Whether the readers see the data of large pictures: the text readers do
// not (a leading ID3v2 tag's APIC/PIC frames and a FLAC stream's PICTURE
// blocks keep their other fields, without the data), the cover lookup does.
enum class PictureData { leftOut, kept };

// Gives the readers of media a repaired tag in place of the one the file
// starts with, when that one needs repair; for a DSF file, the ID3v2 tag
// its header points to (repaired if need be) in place of the whole file.
// With pictures left out, a leading tag or FLAC stream holding large
// pictures is presented without their data, repaired or not. Throws
// std::bad_alloc.
void repairLeadingTag(MediaFile& media, PictureData pictures = PictureData::leftOut);
