#include "listens/listen_rules.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/unicode.h"

namespace listens {
namespace {

using Json = nlohmann::json;

std::string cleaned(const std::string& text) {
  std::string out = unicode::frameTextUtf8(text);
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t start = 0, end = out.size();
  while (start < end && blank(out[start])) ++start;
  while (end > start && blank(out[end - 1])) --end;
  return out.substr(start, end - start);
}

std::string dumped(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json itemJson(const ListenTrack& track, int64_t listenedAt, const std::string& player,
              const std::string& version) {
  Json info = Json::object();
  if (track.durationMs > 0) info["duration_ms"] = track.durationMs;
  const std::string number = track.trackNumber.substr(0, track.trackNumber.find('/'));
  if (!number.empty() && number.size() < 6 &&
      std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
    info["tracknumber"] = std::stoi(number);
  if (!player.empty()) info["media_player"] = player;
  info["submission_client"] = "Trellicast";
  info["submission_client_version"] = version;
  Json metadata = {{"artist_name", track.artist}, {"track_name", track.title}};
  if (!track.release.empty()) metadata["release_name"] = track.release;
  metadata["additional_info"] = info;
  Json item = Json::object();
  if (listenedAt >= 0) item["listened_at"] = listenedAt;
  item["track_metadata"] = metadata;
  return item;
}

}  // namespace

int64_t listenThresholdMs(int64_t lengthMs, int64_t divisor) {
  if (divisor < 1) divisor = 1;
  const int64_t most = LISTEN_MAX_THRESHOLD_MS / divisor;
  if (lengthMs < 0) return most;
  if (lengthMs <= LISTEN_MIN_LENGTH_MS / divisor) return -1;
  return std::min(lengthMs / 2, most);
}

int64_t playedBetween(int64_t previousElapsedMs, int64_t elapsedMs, int64_t clockDeltaMs,
                      bool wasPlaying) {
  if (clockDeltaMs < 0) clockDeltaMs = 0;
  if (previousElapsedMs >= 0 && elapsedMs >= 0)
    return std::clamp<int64_t>(elapsedMs - previousElapsedMs, 0, clockDeltaMs + PLAYED_SLACK_MS);
  return wasPlaying ? clockDeltaMs : 0;
}

std::optional<ListenTrack> checkedTrack(const ListenTrack& track) {
  ListenTrack out = track;
  out.artist = cleaned(track.artist);
  out.title = cleaned(track.title);
  out.release = cleaned(track.release);
  out.trackNumber = cleaned(track.trackNumber);
  if (out.artist.empty() || out.title.empty()) return std::nullopt;
  return out;
}

std::string listenItem(const ListenTrack& track, int64_t listenedAt, const std::string& player,
                       const std::string& version) {
  ListenTrack cut = track;
  const auto size = [&] { return dumped(itemJson(cut, listenedAt, player, version)).size(); };
  // The longest text is cut first, to the longest prefix (between
  // characters) that fits, found by halving; when even its first
  // character is too much, it keeps that and the next longest goes.
  for (int round = 0; round < 3 && size() > LISTEN_MAX_BYTES; ++round) {
    std::string* longest = &cut.title;
    for (std::string* t : {&cut.artist, &cut.release})
      if (t->size() > longest->size()) longest = t;
    const std::string whole = *longest;
    size_t least = 0;  // an artist or a title keeps its first character
    if (longest != &cut.release && !whole.empty()) {
      uint32_t cp = 0;
      least = unicode::utf8SequenceAt(reinterpret_cast<const unsigned char*>(whole.data()),
                                      whole.size(), 0, &cp);
      if (least == 0) least = 1;
    }
    size_t low = least, high = whole.size();
    while (low < high) {
      const size_t mid = low + (high - low + 1) / 2;
      *longest = whole.substr(0, std::max(unicode::utf8Prefix(whole, mid), least));
      if (size() <= LISTEN_MAX_BYTES) {
        low = mid;
      } else {
        high = mid - 1;
      }
    }
    *longest = whole.substr(0, std::max(unicode::utf8Prefix(whole, low), least));
  }
  const std::string text = dumped(itemJson(cut, listenedAt, player, version));
  return text.size() <= LISTEN_MAX_BYTES ? text : std::string();
}

std::string submissionBody(const char* listenType, const std::vector<std::string>& items) {
  std::string body = "{\"listen_type\":";
  body += dumped(Json(listenType));
  body += ",\"payload\":[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) body += ',';
    body += items[i];
  }
  body += "]}";
  return body;
}

std::string serverWords(const std::string& body) {
  constexpr size_t MOST = 200;
  std::string words;
  try {
    const Json json = Json::parse(body);
    for (const char* key : {"error", "message"})
      if (json.is_object() && json.contains(key) && json[key].is_string()) {
        words = json[key].get<std::string>();
        break;
      }
  } catch (const std::exception&) {
  }
  if (words.empty()) words = body.substr(0, body.find('\n'));
  for (char& c : words)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  words.resize(unicode::utf8Prefix(words, MOST));
  return words;
}

}  // namespace listens
