// The two tag readers behind collectTagFields and tagTitle. Each walks a
// file's frames into a sink and returns how many frames it found; neither
// lets an exception out (a damaged tag may ask for any amount of memory, so
// what was walked before a failed allocation stands).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tags/media_file.h"
#include "tags/tag_fields.h"

// Where a walk puts each frame: its number and its value (UTF-8, or Latin-1
// bytes as stored, at most FRAME_TEXT_CHARS bytes). Returning false stops
// the walk.
using FrameSink = std::function<bool(int number, const char* value)>;

// How a walk hands out text stored as Latin-1: converted to UTF-8, or as
// stored.
enum class Latin1Text { asUtf8, asStored };

// id3lib's walk: ID3v1, ID3v2.2/2.3, Lyrics3 and MusicMatch tags, read
// through a reader of ours over media. The ID3v2 guard has passed the file.
size_t walkId3lib(MediaFile& media, FrameSink& sink, Latin1Text latin1);

// True when the file starts with an ID3v2 tag of major version 4.
bool startsWithId3v24(MediaFile& media);

// TagLib's walk of the ID3v2.4 tag at the start of the file, frames in tag
// order.
size_t walkId3v24(MediaFile& media, FrameSink& sink, Latin1Text latin1);

// TagLib's reading of the file in its own format (FLAC, Ogg, MP4, ASF, APE,
// WavPack, Musepack, WAV/AIFF, MP3 with an APE tag, ...): its property map
// turned into ID3v2.4 frames by TagLib and walked as above.
size_t walkOwnFormat(MediaFile& media, FrameSink& sink, Latin1Text latin1);

// False when the file is ASF and its extended content description declares
// more attributes than its size holds (TagLib would read them all).
bool asfCountsSafe(MediaFile& media);

// Whether the file's name ends in an extension TagLib takes for MP4.
bool isMp4Name(const std::string& name);
// False when the file looks like MP4 (by name or its ftyp box) and fails
// mp4NestingSafe, or fails asfCountsSafe: TagLib must not read it in its
// own format.
bool ownFormatSafe(MediaFile& media);

// False when the file looks like MP4 to TagLib and nests its atoms deeper
// than any real file does (TagLib follows them by recursion).
bool mp4NestingSafe(MediaFile& media);

// The walk collectTagFields and tagTitle share: a leading ID3v2 tag (a DSF
// file's, through its header) that needs repair is repaired first
// (tags/id3v2_repair.h); then an ID3v2.4 tag at the start goes to TagLib
// (any ID3v1 tag at the end is superseded by it); anything else to id3lib;
// a file where id3lib finds no frame at all to TagLib's reading of its own
// format. A tag the ID3v2 guard refuses gives no frames.
void walkMediaFile(MediaFile& media, FrameSink& sink, Latin1Text latin1);
