#include "discord/ipc_frame.h"

namespace discord {
namespace {

void putLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t le32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

}  // namespace

std::string encodeFrame(Opcode op, std::string_view payload) {
  std::string out;
  out.reserve(8 + payload.size());
  putLe32(out, static_cast<uint32_t>(op));
  putLe32(out, static_cast<uint32_t>(payload.size()));
  out.append(payload);
  return out;
}

void feedFrames(FrameReader& reader, std::string_view bytes) {
  if (!reader.broken) reader.pending.append(bytes);
}

FrameRead nextFrame(FrameReader& reader, Frame* out) {
  if (reader.broken) return FrameRead::broken;
  if (reader.pending.size() < 8) return FrameRead::needMore;
  const uint32_t op = le32At(reader.pending, 0);
  const uint32_t length = le32At(reader.pending, 4);
  if (op > static_cast<uint32_t>(Opcode::pong) || length > FRAME_MAX_BYTES) {
    reader.broken = true;
    reader.pending.clear();
    return FrameRead::broken;
  }
  if (reader.pending.size() - 8 < length) return FrameRead::needMore;
  out->op = static_cast<Opcode>(op);
  out->payload.assign(reader.pending, 8, length);
  reader.pending.erase(0, 8 + static_cast<size_t>(length));
  return FrameRead::frame;
}

}  // namespace discord
