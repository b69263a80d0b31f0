#include "tests/support/id3_writer.h"

#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace id3w {

namespace {

std::string slot(std::string_view text, size_t width) {
  std::string s(text.substr(0, width));
  s.resize(width, '\0');
  return s;
}

}  // namespace

std::string bigEndian32(uint32_t v) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  return out;
}

std::string synchsafe32(uint32_t v) {
  std::string out;
  for (int shift = 21; shift >= 0; shift -= 7) out += static_cast<char>((v >> shift) & 0x7F);
  return out;
}

std::string utf16(std::u16string_view text, ByteOrder order) {
  std::string out;
  const bool big = order == ByteOrder::big;
  out += big ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  }
  return out;
}

std::string utf16Units(std::u16string_view text, ByteOrder order) {
  return utf16(text, order).substr(2);
}

// A text frame's body: its encoding byte, then text. Appended rather than
// added as two temporaries, which GCC 12's -Wrestrict misreads in
// optimised builds.
std::string encoded(char encoding, std::string_view text) {
  std::string body(1, encoding);
  body += text;
  return body;
}

Frame textFrame(std::string_view id, std::string_view latin1) {
  return {std::string(id), encoded('\0', latin1)};
}

Frame textFrameUtf16(std::string_view id, std::u16string_view text, ByteOrder order) {
  return {std::string(id), encoded('\x01', utf16(text, order))};
}

Frame textFrameUtf8(std::string_view id, std::string_view utf8) {
  return {std::string(id), encoded('\x03', utf8)};
}

Frame commentFrame(std::string_view language, std::string_view description, std::string_view text) {
  std::string body(1, '\0');
  body += slot(language, 3);
  body += description;
  body += '\0';
  body += text;
  return {"COMM", body};
}

Frame pictureFrame(std::string_view mime, uint8_t pictureType, std::string_view description,
                   size_t pictureBytes) {
  std::string body(1, '\0');
  body += mime;
  body += '\0';
  body += static_cast<char>(pictureType);
  body += description;
  body += '\0';
  const size_t start = body.size();
  body.resize(start + pictureBytes);
  for (size_t i = 0; i < pictureBytes; ++i) body[start + i] = static_cast<char>(1 + (i * 7) % 251);
  return {"APIC", body};
}

Frame rawFrame(std::string_view id, std::string body, uint16_t flags) {
  return {std::string(id), std::move(body), flags};
}

Frame compressedFrame(const Frame& plain, int version) {
  uLongf size = compressBound(plain.body.size());
  std::string packed(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(packed.data()), &size,
               reinterpret_cast<const Bytef*>(plain.body.data()), plain.body.size()) != Z_OK)
    size = 0;
  packed.resize(size);
  const auto length = static_cast<uint32_t>(plain.body.size());
  if (version >= 4) return rawFrame(plain.id, synchsafe32(length) + packed, 0x0009);
  return rawFrame(plain.id, bigEndian32(length) + packed, 0x0080);
}

namespace {

std::string tagWithSizes(int version, const std::vector<Frame>& frames, size_t padding,
                         bool synchsafeSizes) {
  std::string content;
  for (const Frame& f : frames) {
    content += slot(f.id, 4);
    const auto size = static_cast<uint32_t>(f.body.size());
    content += synchsafeSizes ? synchsafe32(size) : bigEndian32(size);
    content += static_cast<char>(f.flags >> 8);
    content += static_cast<char>(f.flags & 0xFF);
    content += f.body;
  }
  content.append(padding, '\0');
  std::string out = "ID3";
  out += static_cast<char>(version);
  out += '\0';  // revision
  out += '\0';  // flags
  out += synchsafe32(static_cast<uint32_t>(content.size()));
  return out + content;
}

}  // namespace

std::string tagV2(int version, const std::vector<Frame>& frames, size_t padding) {
  return tagWithSizes(version, frames, padding, version >= 4);
}

std::string tagV24PlainSizes(const std::vector<Frame>& frames) {
  return tagWithSizes(4, frames, 0, false);
}

std::string unsynchronised(const std::string& tag) {
  if (tag.size() < 10) return tag;
  std::string out = tag.substr(0, 10);
  out[5] = static_cast<char>(out[5] | 0x80);
  for (size_t i = 10; i < tag.size(); ++i) {
    out += tag[i];
    const auto next = i + 1 < tag.size() ? static_cast<unsigned char>(tag[i + 1]) : 0;
    if (static_cast<unsigned char>(tag[i]) == 0xFF && (next >= 0xE0 || next == 0)) out += '\0';
  }
  fitTagSize(out);
  return out;
}

std::string unsynchronisedSizesCountedAfter(const std::vector<Frame>& frames) {
  std::vector<Frame> stored;
  for (const Frame& f : frames) {
    // Each body unsynchronised on its own, its size counted on the result;
    // the whole tag unsynchronised then changes no more bytes.
    const std::string one = unsynchronised(tagV2(3, {f}));
    stored.push_back({f.id, one.substr(20), f.flags});
  }
  std::string tag = tagV2(3, stored);
  tag[5] = static_cast<char>(tag[5] | 0x80);
  return tag;
}

std::string withExtendedHeader(const std::string& tag, const std::string& ext) {
  if (tag.size() < 10) return tag;
  std::string out = tag.substr(0, 10) + ext + tag.substr(10);
  out[5] = static_cast<char>(out[5] | 0x40);
  fitTagSize(out);
  return out;
}

std::string tagV22(int revision, const std::vector<Frame>& frames) {
  std::string content;
  for (const Frame& f : frames) {
    content += slot(f.id, 3);
    content += bigEndian32(static_cast<uint32_t>(f.body.size())).substr(1);
    content += f.body;
  }
  std::string out = "ID3";
  out += '\x02';
  out += static_cast<char>(revision);
  out += '\0';  // flags
  out += synchsafe32(static_cast<uint32_t>(content.size()));
  return out + content;
}

void fitTagSize(std::string& tag) {
  if (tag.size() < 10) return;
  tag.replace(6, 4, synchsafe32(static_cast<uint32_t>(tag.size() - 10)));
}

std::string tagV1(const V1& f) {
  std::string out = "TAG";
  out += slot(f.title, 30);
  out += slot(f.artist, 30);
  out += slot(f.album, 30);
  out += slot(f.year, 4);
  if (f.track >= 1 && f.track <= 255) {
    out += slot(f.comment, 28);
    out += '\0';
    out += static_cast<char>(f.track);
  } else {
    out += slot(f.comment, 30);
  }
  out += static_cast<char>(f.genre);
  return out;
}

std::string fakeAudio(size_t frames) {
  // Sync, MPEG-1 Layer III without CRC; 128 kbit/s, 44.1 kHz, no padding;
  // joint stereo. 144 * 128000 / 44100 = 417 bytes a frame.
  static const char header[] = "\xFF\xFB\x90\x64";
  std::string one(header, 4);
  one.resize(417, '\0');
  std::string out;
  out.reserve(one.size() * frames);
  for (size_t i = 0; i < frames; ++i) out += one;
  return out;
}

namespace {

std::string littleEndian(uint64_t v, size_t bytes) {
  std::string out;
  for (size_t i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace

std::string dsfFile(const std::string& tag) {
  // fmt chunk: version 1, raw DSD, stereo, 2822400 Hz, 1 bit, 4096 samples
  // a channel, block size 4096, reserved.
  std::string fmt = "fmt " + littleEndian(52, 8) + littleEndian(1, 4) + littleEndian(0, 4) +
                    littleEndian(2, 4) + littleEndian(2, 4) + littleEndian(2822400, 4) +
                    littleEndian(1, 4) + littleEndian(4096, 8) + littleEndian(4096, 4) +
                    littleEndian(0, 4);
  const std::string samples(2 * 4096 / 8, '\x69');
  const std::string data = "data" + littleEndian(12 + samples.size(), 8) + samples;
  const uint64_t tagAt = 28 + fmt.size() + data.size();
  const uint64_t total = tagAt + tag.size();
  return "DSD " + littleEndian(28, 8) + littleEndian(total, 8) + littleEndian(tagAt, 8) + fmt +
         data + tag;
}

std::string flacStream(const std::vector<std::string>& fields) {
  // STREAMINFO: block sizes 4096, frame sizes unknown, 44100 Hz, 2
  // channels, 16 bits, no samples, no MD5.
  std::string info = bigEndian32(0x10001000).substr(0, 4) + std::string(6, '\0');
  info += static_cast<char>(0x0A);
  info += static_cast<char>(0xC4);
  info += static_cast<char>(0x42);
  info += static_cast<char>(0xF0);
  info += std::string(4, '\0') + std::string(16, '\0');
  std::string comment = littleEndian(6, 4) + "writer" + littleEndian(fields.size(), 4);
  for (const std::string& f : fields) comment += littleEndian(f.size(), 4) + f;
  std::string out = "fLaC";
  out += '\0';  // STREAMINFO, not last
  out += bigEndian32(static_cast<uint32_t>(info.size())).substr(1);
  out += info;
  out += '\x84';  // VORBIS_COMMENT, last
  out += bigEndian32(static_cast<uint32_t>(comment.size())).substr(1);
  return out + comment;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

TempDir::TempDir() {
  namespace fs = std::filesystem;
  static std::atomic<unsigned> counter{0};
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  const auto stamp =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        base / ("id3w-" + std::to_string(stamp) + "-" + std::to_string(counter.fetch_add(1)));
    if (fs::create_directory(candidate, ec)) {
      root_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  if (root_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TempDir::path(std::string_view name) const {
  return (std::filesystem::path(root_) / name).string();
}

}  // namespace id3w
