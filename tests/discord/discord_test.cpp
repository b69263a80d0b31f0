// The frames of Discord's local connection and the activity a snapshot
// makes, as tables.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/player.h"
#include "discord/activity.h"
#include "discord/ipc_frame.h"

namespace {

using discord::DiscordActivity;
using discord::DiscordTrack;
using discord::Frame;
using discord::FrameRead;
using discord::FrameReader;
using discord::Opcode;

std::string repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(DiscordFrame, HeaderIsLittleEndianOpcodeAndLength) {
  const std::string bytes = discord::encodeFrame(Opcode::frame, std::string(0x0102, 'x'));
  ASSERT_EQ(bytes.size(), 8u + 0x0102u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\x00\x00\x00\x02\x01\x00\x00", 8));
  EXPECT_EQ(discord::encodeFrame(Opcode::handshake, "{}"),
            std::string("\x00\x00\x00\x00\x02\x00\x00\x00{}", 10));
}

// Whatever the pieces the bytes arrive in, the same frames come out.
TEST(DiscordFrame, ReaderTakesFramesFromAnyPieces) {
  const std::vector<Frame> sent = {{Opcode::frame, R"({"evt":"READY"})"},
                                   {Opcode::ping, "7"},
                                   {Opcode::frame, ""},
                                   {Opcode::close, R"({"code":4000})"}};
  std::string stream;
  for (const Frame& f : sent) stream += discord::encodeFrame(f.op, f.payload);
  for (const size_t piece : {size_t{1}, size_t{3}, size_t{8}, size_t{13}, stream.size()}) {
    FrameReader reader;
    std::vector<Frame> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
      discord::feedFrames(reader, std::string_view(stream).substr(at, piece));
      Frame frame;
      while (discord::nextFrame(reader, &frame) == FrameRead::frame) got.push_back(frame);
    }
    ASSERT_EQ(got.size(), sent.size()) << "pieces of " << piece;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(got[i].op, sent[i].op);
      EXPECT_EQ(got[i].payload, sent[i].payload);
    }
    EXPECT_TRUE(reader.pending.empty());
  }
}

TEST(DiscordFrame, UnknownOpcodeOrOversizedLengthBreaksTheStream) {
  const struct {
    const char* name;
    std::string bytes;
    FrameRead want;
  } cases[] = {
      {"opcode 5", std::string("\x05\x00\x00\x00\x00\x00\x00\x00", 8), FrameRead::broken},
      {"length past the bound", std::string("\x01\x00\x00\x00\x01\x00\x10\x00", 8),
       FrameRead::broken},
      {"length at the bound, bytes to come", std::string("\x01\x00\x00\x00\x00\x00\x10\x00", 8),
       FrameRead::needMore},
      {"half a header", std::string("\x01\x00\x00", 3), FrameRead::needMore},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    discord::feedFrames(reader, c.bytes);
    Frame frame;
    EXPECT_EQ(discord::nextFrame(reader, &frame), c.want) << c.name;
    // A broken stream stays broken, whatever follows.
    discord::feedFrames(reader, discord::encodeFrame(Opcode::frame, "{}"));
    if (c.want == FrameRead::broken) {
      EXPECT_EQ(discord::nextFrame(reader, &frame), c.want);
    }
  }
}

TEST(DiscordActivity, FieldsAreCutBetweenCodePoints) {
  const std::string e = "\xC3\xA9", headphones = "\xF0\x9F\x8E\xA7";
  const struct {
    std::string text;
    std::string want;
  } cases[] = {
      {"short", "short"},
      {repeat("a", 128), repeat("a", 128)},
      {repeat("a", 129), repeat("a", 128)},
      {repeat(e, 130), repeat(e, 128)},
      {repeat("a", 127) + headphones + headphones, repeat("a", 127) + headphones},
      {repeat(headphones, 129), repeat(headphones, 128)},
      // A byte that starts no character counts as one.
      {repeat("a", 127) + "\xFF" + "b", repeat("a", 127) + "\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(discord::cutChars(c.text, 128), c.want) << c.text;
}

TEST(DiscordActivity, WhatEachMomentOfPlayShows) {
  constexpr int64_t NOW = 1'800'000'000'000;
  const DiscordTrack tagged{PLAYING, "Song", "Band", "Record", 30'000, 200'000};
  const struct {
    const char* name;
    DiscordTrack track;
    bool showPaused;
    DiscordActivity want;
  } cases[] = {
      {"playing",
       tagged,
       false,
       {true, "Song", "Band - Record", "Record", true, NOW - 30'000, NOW + 170'000}},
      {"a stream: no end",
       {PLAYING, "Radio", "", "", 5'000, -1},
       false,
       {true, "Radio", "", "", true, NOW - 5'000, 0}},
      {"position unknown: no timestamps",
       {PLAYING, "Song", "Band", "", -1, 200'000},
       false,
       {true, "Song", "Band", "", false, 0, 0}},
      {"album alone",
       {PLAYING, "Song", "", "Record", 0, 1'000},
       false,
       {true, "Song", "Record", "Record", true, NOW, NOW + 1'000}},
      {"paused, cleared", {PAUSED, "Song", "Band", "Record", 30'000, 200'000}, false, {}},
      {"paused, shown",
       {PAUSED, "Song", "Band", "Record", 30'000, 200'000},
       true,
       {true, "Song", "Paused - Band - Record", "Record", false, 0, 0}},
      {"paused, shown, untagged",
       {PAUSED, "Song", "", "", 30'000, 200'000},
       true,
       {true, "Song", "Paused", "", false, 0, 0}},
      {"stopped", {STOPPED, "Song", "Band", "Record", 0, 200'000}, true, {}},
      {"long texts cut",
       {PLAYING, repeat("t", 200), repeat("b", 100), repeat("r", 100), 0, 0},
       false,
       {true, repeat("t", 128), repeat("b", 100) + " - " + repeat("r", 25), repeat("r", 100), true,
        NOW, 0}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(discord::activityOf(c.track, c.showPaused, NOW), c.want) << c.name;
}

TEST(DiscordActivity, TrackFromFramesOrTitleOrFileName) {
  PlayerSnapshot tagged;
  tagged.status = PLAYING;
  tagged.titleUtf8 = "Band - Song";
  // Latin-1 bytes as stored (posts not UTF-8 throughout) and UTF-8 alike.
  tagged.frames = std::vector<SnapshotFrame>{
      {61, "Sigur R\xF3s"}, {47, "Hopp\xC3\xADpolla"}, {29, ""}, {29, "Takk"}};
  PlayerSnapshot untagged;
  untagged.titleUtf8 = "Just a title";
  untagged.frames = std::vector<SnapshotFrame>{};
  PlayerSnapshot fileOnly;
  fileOnly.hasFile = true;
  fileOnly.fileName = "/music/dir/05 Track.flac";
  const struct {
    const char* name;
    PlayerSnapshot snapshot;
    std::string title, artist, album;
  } cases[] = {
      {"frames", tagged, "Hopp\xC3\xADpolla", "Sigur R\xC3\xB3s", "Takk"},
      {"no title frame", untagged, "Just a title", "", ""},
      {"the file's name", fileOnly, "05 Track.flac", "", ""},
  };
  for (const auto& c : cases) {
    const DiscordTrack track = discord::trackOf(c.snapshot);
    EXPECT_EQ(track.title, c.title) << c.name;
    EXPECT_EQ(track.artist, c.artist) << c.name;
    EXPECT_EQ(track.album, c.album) << c.name;
  }
}

// Only a change of what shows, or a jump of the position, needs a new
// activity; the clock's drift between snapshots does not.
TEST(DiscordActivity, PositionAloneIsToldApartFromAChange) {
  const DiscordActivity last{true, "Song", "Band", "", true, 1'000'000, 1'200'000};
  const auto moved = [&](int64_t by) {
    DiscordActivity next = last;
    next.startMs += by;
    next.endMs += by;
    return next;
  };
  DiscordActivity retitled = last;
  retitled.details = "Other";
  DiscordActivity paused = last;
  paused.timed = false;
  const struct {
    const char* name;
    DiscordActivity next;
    bool samePicture, sameProgress;
  } cases[] = {
      {"drift", moved(discord::STEADY_SLACK_MS), true, true},
      {"a seek", moved(discord::STEADY_SLACK_MS + 1), true, false},
      {"a seek back", moved(-30'000), true, false},
      {"another title", retitled, false, false},
      {"no more timestamps", paused, false, false},
      {"cleared", DiscordActivity{}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(discord::samePicture(last, c.next), c.samePicture) << c.name;
    EXPECT_EQ(discord::sameProgress(last, c.next), c.sameProgress) << c.name;
  }
}

TEST(DiscordActivity, CommandCarriesTheActivityOrNull) {
  using nlohmann::json;
  const DiscordActivity shown{true, "S\xC3\xB3ng", "Band", "Record", true, 1000, 5000};
  const json set = json::parse(discord::setActivityPayload(shown, 4242, "n-1"));
  EXPECT_EQ(set["cmd"], "SET_ACTIVITY");
  EXPECT_EQ(set["nonce"], "n-1");
  EXPECT_EQ(set["args"]["pid"], 4242);
  EXPECT_EQ(set["args"]["activity"], json::parse(R"({"type":2,"details":"S\u00f3ng","state":"Band",
                            "timestamps":{"start":1000,"end":5000},
                            "assets":{"large_image":"logo","large_text":"Record"}})"));
  const json clear = json::parse(discord::setActivityPayload(DiscordActivity{}, 1, "n-2"));
  EXPECT_TRUE(clear["args"]["activity"].is_null());
  EXPECT_TRUE(clear["args"].contains("activity"));
  // Bytes that are not UTF-8 go out replaced, as valid JSON.
  const DiscordActivity broken{true, "a\xFF", "", "", false, 0, 0};
  EXPECT_NO_THROW(json::parse(discord::activityJson(broken)));
  EXPECT_EQ(json::parse(discord::handshakePayload("123")),
            json::parse(R"({"v":1,"client_id":"123"})"));
}

}  // namespace
