#include "tags/media_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/port.h"

void MediaFileCloser::operator()(MediaFile* media) const {
  if (media->file != nullptr) std::fclose(media->file);
  delete media;
}

MediaFileOwner openMediaFile(const platform::FileName& name) {
  MediaFileOwner media(new MediaFile);
  media->window.reset(new unsigned char[MEDIA_WINDOW_SIZE]);
  media->file = platform::openFileForReading(name);
  if (media->file == nullptr) return nullptr;
  // The window is the only buffer: stdio's own would copy every byte twice.
  std::setvbuf(media->file, nullptr, _IONBF, 0);
  if (std::fseek(media->file, 0, SEEK_END) != 0) return nullptr;
  const long size = std::ftell(media->file);
  if (size < 0) return nullptr;
  media->size = media->fileSize = static_cast<uint64_t>(size);
  media->name = platform::fileNameText(name);
  return media;
}

MediaFileOwner openMediaFile(const char* name) {
  platform::FileName fileName;
  if (platform::fileNameFromCodePage(name, &fileName) != 0) return nullptr;
  return openMediaFile(fileName);
}

namespace {

size_t readDirect(MediaFile& media, uint64_t offset, unsigned char* out, size_t count) {
  if (std::fseek(media.file, static_cast<long>(offset), SEEK_SET) != 0) return 0;
  return std::fread(out, 1, count, media.file);
}

}  // namespace

size_t readStoredBytes(MediaFile& media, uint64_t offset, unsigned char* out, size_t count) {
  if (offset >= media.fileSize || count == 0) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, media.fileSize - offset));
  size_t done = 0;
  // The part already in the window.
  if (offset >= media.windowStart && offset < media.windowStart + media.windowLength) {
    const size_t at = static_cast<size_t>(offset - media.windowStart);
    done = std::min(count, media.windowLength - at);
    std::memcpy(out, media.window.get() + at, done);
    if (done == count) return done;
  }
  // Large reads go straight to the caller's memory.
  if (count - done >= MEDIA_WINDOW_SIZE)
    return done + readDirect(media, offset + done, out + done, count - done);
  media.windowStart = offset + done;
  media.windowLength = readDirect(media, media.windowStart, media.window.get(), MEDIA_WINDOW_SIZE);
  const size_t more = std::min(count - done, media.windowLength);
  std::memcpy(out + done, media.window.get(), more);
  return done + more;
}

size_t readMediaFile(MediaFile& media, uint64_t offset, unsigned char* out, size_t count) {
  if (offset >= media.size || count == 0) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, media.size - offset));
  size_t done = 0;
  if (offset < media.head.size()) {
    done = std::min<size_t>(count, media.head.size() - static_cast<size_t>(offset));
    std::memcpy(out, media.head.data() + offset, done);
    if (done == count) return done;
    offset += done;
  }
  const uint64_t stored = offset - media.head.size() + media.headStandsFor;
  return done + readStoredBytes(media, stored, out + done, count - done);
}

void setMediaHead(MediaFile& media, std::string head, uint64_t standsFor) {
  standsFor = std::min(standsFor, media.fileSize);
  media.head = std::move(head);
  media.headStandsFor = standsFor;
  media.size = media.head.size() + (media.fileSize - standsFor);
}
