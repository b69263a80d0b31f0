#include "tags/cover.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "base/player.h"
#include "platform/unicode.h"
#include "tags/media_file.h"
#include "tags/sha1.h"

namespace {

// Covers looked up lately, newest last: by the name and stamp of the file
// they were looked up for (the media file, or the player's art file).
struct KeptCover {
  std::string name;
  bool art;  // looked up from the art file alone
  platform::FileStamp stamp;
  CoverPtr cover;
};
constexpr size_t KEPT_COVERS = 4;
std::vector<KeptCover> keptCovers;

// The kept covers' lock. Held only to look through or change four entries
// (never while a file is read), so a spin lock serves; the Windows build's
// thread model has no std::mutex.
std::atomic_flag keptBusy = ATOMIC_FLAG_INIT;
struct KeptHold {
  KeptHold() {
    while (keptBusy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~KeptHold() { keptBusy.clear(std::memory_order_release); }
  KeptHold(const KeptHold&) = delete;
  KeptHold& operator=(const KeptHold&) = delete;
};

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && bytes.substr(0, prefix.size()) == prefix;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

struct ImageFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using ImageFileOwner = std::unique_ptr<std::FILE, ImageFileCloser>;

// The whole file when it is a regular file of at most COVER_SIZE_LIMIT
// bytes; empty otherwise.
std::string wholeFile(const platform::FileName& name) {
  platform::FileStamp stamp{};
  if (!platform::fileStamp(name, &stamp) || stamp.size == 0 || stamp.size > COVER_SIZE_LIMIT)
    return std::string();
  const ImageFileOwner file(platform::openFileForReading(name));
  if (!file) return std::string();
  std::string bytes(static_cast<size_t>(stamp.size), '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  // A file that grew past the limit while it was read is not taken.
  if (std::fgetc(file.get()) != EOF) return std::string();
  return bytes;
}

// The first image of the folder's usual names beside the media file: by
// name (cover, folder, front, albumart), then extension (jpg, jpeg, png),
// letters in any case.
std::string folderImage(const platform::FileName& mediaFile) {
  static const char* const NAMES[] = {"cover", "folder", "front", "albumart"};
  static const char* const EXTENSIONS[] = {".jpg", ".jpeg", ".png"};
  std::vector<platform::FolderEntry> entries;
  if (platform::filesBeside(mediaFile, &entries) != 0) return std::string();
  const platform::FileName* best = nullptr;
  size_t bestRank = std::size(NAMES) * std::size(EXTENSIONS);
  for (const platform::FolderEntry& entry : entries) {
    std::string leaf = entry.leaf;
    for (char& c : leaf) c = lowerAscii(c);
    for (size_t n = 0; n < std::size(NAMES); ++n) {
      for (size_t e = 0; e < std::size(EXTENSIONS); ++e) {
        const size_t rank = n * std::size(EXTENSIONS) + e;
        if (rank < bestRank && leaf == std::string(NAMES[n]) + EXTENSIONS[e]) {
          best = &entry.name;
          bestRank = rank;
        }
      }
    }
  }
  return best != nullptr ? wholeFile(*best) : std::string();
}

CoverPtr coverOf(std::string bytes) {
  const char* mime = imageMimeType(bytes);
  if (mime == nullptr || bytes.size() > COVER_SIZE_LIMIT) return nullptr;
  auto cover = std::make_shared<Cover>();
  cover->sha1 = sha1Hex(bytes);
  cover->bytes = std::move(bytes);
  cover->mimeType = mime;
  return cover;
}

// The cover of a readable media file: its tag's, else the folder's.
CoverPtr mediaCover(const platform::FileName& mediaFile) {
  std::string bytes;
  if (const MediaFileOwner media = openMediaFile(mediaFile)) bytes = embeddedCover(*media);
  CoverPtr cover = coverOf(std::move(bytes));
  return cover ? cover : coverOf(folderImage(mediaFile));
}

bool findKept(const std::string& name, bool art, const platform::FileStamp& stamp,
              CoverPtr* cover) {
  const KeptHold hold;
  for (const KeptCover& k : keptCovers) {
    if (k.name == name && k.art == art && k.stamp.size == stamp.size &&
        k.stamp.modified == stamp.modified) {
      *cover = k.cover;
      return true;
    }
  }
  return false;
}

void keep(const std::string& name, bool art, const platform::FileStamp& stamp,
          const CoverPtr& cover) {
  const KeptHold hold;
  for (auto it = keptCovers.begin(); it != keptCovers.end(); ++it) {
    if (it->name == name && it->art == art) {
      keptCovers.erase(it);
      break;
    }
  }
  if (keptCovers.size() == KEPT_COVERS) keptCovers.erase(keptCovers.begin());
  keptCovers.push_back({name, art, stamp, cover});
}

}  // namespace

const char* imageMimeType(std::string_view bytes) {
  if (startsWith(bytes, "\xFF\xD8\xFF")) return "image/jpeg";
  if (startsWith(bytes, "\x89PNG\r\n\x1A\n")) return "image/png";
  if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return "image/gif";
  if (bytes.size() >= 12 && startsWith(bytes, "RIFF") && bytes.substr(8, 4) == "WEBP")
    return "image/webp";
  if (bytes.size() >= 14 && startsWith(bytes, "BM")) return "image/bmp";
  return nullptr;
}

CoverPtr lookUpCover(const platform::FileName& mediaFile, const platform::FileName* artFile) {
  try {
    platform::FileStamp stamp{};
    const bool readable = platform::fileStamp(mediaFile, &stamp);
    const platform::FileName* source = readable ? &mediaFile : artFile;
    if (!readable && (artFile == nullptr || !platform::fileStamp(*artFile, &stamp))) return nullptr;
    CoverPtr cover;
    if (findKept(source->native, !readable, stamp, &cover)) return cover;
    cover = readable ? mediaCover(mediaFile) : coverOf(wholeFile(*artFile));
    keep(source->native, !readable, stamp, cover);
    return cover;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool keptCover(const platform::FileName& mediaFile, const platform::FileName* artFile,
               CoverPtr* cover) {
  *cover = nullptr;
  try {
    platform::FileStamp stamp{};
    const bool readable = platform::fileStamp(mediaFile, &stamp);
    if (!readable && (artFile == nullptr || !platform::fileStamp(*artFile, &stamp))) return true;
    return findKept(readable ? mediaFile.native : artFile->native, !readable, stamp, cover);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool askArtFile(platform::WindowHandle window, platform::FileName* artFile) {
  const auto* path =
      reinterpret_cast<const char*>(platform::sendUserMessage(window, 0, GET_ART_FILE));
  if (path == nullptr || *path == '\0') return false;
  try {
    const std::u16string wide = unicode::utf8ToUtf16(path);
    return platform::fileNameFromWide(reinterpret_cast<const uint16_t*>(wide.c_str()), artFile) ==
           0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void forgetCovers() {
  const KeptHold hold;
  keptCovers.clear();
}
