#include "tests/support/id3_writer.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace id3w {

namespace {

void putBigEndian32(std::string& out, uint32_t v) {
  out += static_cast<char>((v >> 24) & 0xFF);
  out += static_cast<char>((v >> 16) & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
  out += static_cast<char>(v & 0xFF);
}

void putSynchsafe32(std::string& out, uint32_t v) {
  out += static_cast<char>((v >> 21) & 0x7F);
  out += static_cast<char>((v >> 14) & 0x7F);
  out += static_cast<char>((v >> 7) & 0x7F);
  out += static_cast<char>(v & 0x7F);
}

std::string slot(std::string_view text, size_t width) {
  std::string s(text.substr(0, width));
  s.resize(width, '\0');
  return s;
}

}  // namespace

std::string utf16(std::u16string_view text, ByteOrder order) {
  std::string out;
  const bool big = order == ByteOrder::Big;
  out += big ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  }
  return out;
}

Frame textFrame(std::string_view id, std::string_view latin1) {
  return {std::string(id), std::string(1, '\0') + std::string(latin1)};
}

Frame textFrameUtf16(std::string_view id, std::u16string_view text, ByteOrder order) {
  return {std::string(id), std::string(1, '\x01') + utf16(text, order)};
}

Frame textFrameUtf8(std::string_view id, std::string_view utf8) {
  return {std::string(id), std::string(1, '\x03') + std::string(utf8)};
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

std::string tagV2(int version, const std::vector<Frame>& frames, size_t padding) {
  std::string content;
  for (const Frame& f : frames) {
    content += slot(f.id, 4);
    const auto size = static_cast<uint32_t>(f.body.size());
    if (version >= 4)
      putSynchsafe32(content, size);
    else
      putBigEndian32(content, size);
    content += static_cast<char>(f.flags >> 8);
    content += static_cast<char>(f.flags & 0xFF);
    content += f.body;
  }
  content.append(padding, '\0');
  std::string out = "ID3";
  out += static_cast<char>(version);
  out += '\0';  // revision
  out += '\0';  // flags
  putSynchsafe32(out, static_cast<uint32_t>(content.size()));
  return out + content;
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
