// The frames of Discord's local connection: a little-endian 32-bit opcode,
// a little-endian 32-bit length, then that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace discord {

enum class Opcode : uint32_t { handshake = 0, frame = 1, close = 2, ping = 3, pong = 4 };

// A frame longer than this is taken for a broken stream, not waited for.
constexpr uint32_t FRAME_MAX_BYTES = 1u << 20;

// The frame's bytes: header and payload, for one write.
std::string encodeFrame(Opcode op, std::string_view payload);

struct Frame {
  Opcode op = Opcode::frame;
  std::string payload;
};

// Frames out of the bytes that arrive, in pieces of any size.
struct FrameReader {
  std::string pending;
  bool broken = false;  // an unknown opcode or an oversized length came: nothing more is read
};

enum class FrameRead { frame, needMore, broken };
// Appends bytes to what the reader holds.
void feedFrames(FrameReader& reader, std::string_view bytes);
// The next whole frame into *out, or needMore, or broken.
FrameRead nextFrame(FrameReader& reader, Frame* out);

}  // namespace discord
