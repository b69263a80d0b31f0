#include "output/output_text.h"

#include <cstdio>

#include "platform/unicode.h"

namespace output {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

const char* statusName(PlayStatus status) {
  switch (status) {
    case PlayStatus::playing:
      return "playing";
    case PlayStatus::paused:
      return "paused";
    case PlayStatus::stopped:
      break;
  }
  return "stopped";
}

std::shared_ptr<const std::string> shared(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

}  // namespace

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t cp;
    const size_t length = unicode::utf8SequenceAt(
        reinterpret_cast<const unsigned char*>(text.data()), text.size(), at, &cp);
    if (length == 0) {
      out += REPLACEMENT;
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

std::string expandTemplate(std::string_view templateText, const NowPlaying& playing) {
  const std::pair<std::string_view, const std::string*> fields[] = {
      {"%artist%", &playing.artist},
      {"%title%", &playing.title},
      {"%album%", &playing.album},
      {"%year%", &playing.year},
      {"%track%", &playing.track},
      {"%genre%", &playing.genre},
      {"%playertitle%", &playing.playerTitle},
  };
  std::string out;
  size_t at = 0;
  while (at < templateText.size()) {
    bool replaced = false;
    if (templateText[at] == '%') {
      for (const auto& [name, value] : fields) {
        if (templateText.substr(at, name.size()) == name) {
          out += *value;
          at += name.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += templateText[at++];
  }
  return validUtf8(out);
}

std::string nowPlayingText(const OutputConfig& config, const NowPlaying& playing) {
  if (playing.status == PlayStatus::stopped) return validUtf8(config.stoppedText);
  if (playing.artist.empty() || playing.title.empty()) return validUtf8(playing.playerTitle);
  return expandTemplate(config.templateText, playing);
}

std::string jsonString(std::string_view text) {
  const std::string valid = validUtf8(text);
  std::string out = "\"";
  for (size_t at = 0; at < valid.size(); ++at) {
    const char c = valid[at];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else if (valid.compare(at, 3, "\xE2\x80\xA8") == 0) {
          out += "\\u2028";
          at += 2;
        } else if (valid.compare(at, 3, "\xE2\x80\xA9") == 0) {
          out += "\\u2029";
          at += 2;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string nowPlayingJson(const NowPlaying& playing, uint64_t updatedMs) {
  const bool stopped = playing.status == PlayStatus::stopped;
  const bool cover = !stopped && playing.cover && !playing.cover->bytes.empty();
  const auto text = [&](const std::string& value) {
    return jsonString(stopped ? std::string_view() : std::string_view(value));
  };
  std::string out = "{\"status\":\"";
  out += statusName(playing.status);
  out += "\",\"title\":" + text(playing.title);
  out += ",\"artist\":" + text(playing.artist);
  out += ",\"album\":" + text(playing.album);
  out += ",\"year\":" + text(playing.year);
  out += ",\"track\":" + text(playing.track);
  out += ",\"genre\":" + text(playing.genre);
  out += ",\"playerTitle\":" + text(playing.playerTitle);
  out += ",\"file\":" + text(playing.fileName);
  out += cover ? ",\"cover\":\"cover.png\",\"coverHash\":" + jsonString(playing.cover->sha1)
               : std::string(",\"cover\":null,\"coverHash\":null");
  out += ",\"updated\":" + std::to_string(updatedMs) + "}\n";
  return out;
}

std::vector<OutputFile> outputFileSet(const OutputConfig& config, const NowPlaying& playing,
                                      uint64_t updatedMs) {
  const bool stopped = playing.status == PlayStatus::stopped;
  // The cover's bytes, shared with the cover itself: never copied.
  std::shared_ptr<const std::string> cover;
  if (playing.cover)
    cover = std::shared_ptr<const std::string>(playing.cover, &playing.cover->bytes);
  if (stopped || !cover || cover->empty()) {
    static const auto NO_COVER = shared(std::string(TRANSPARENT_PNG));
    cover = NO_COVER;
  }
  const auto text = [&](const std::string& value) {
    return shared(validUtf8(stopped ? config.stoppedText : value));
  };
  const std::string json = nowPlayingJson(playing, updatedMs);
  return {
      {"nowplaying.txt", shared(nowPlayingText(config, playing))},
      {"title.txt", text(playing.title)},
      {"artist.txt", text(playing.artist)},
      {"album.txt", text(playing.album)},
      {"cover.png", cover},
      {"nowplaying.json", shared(json)},
      {"nowplaying.js", shared("window.nowPlaying = " + json.substr(0, json.size() - 1) + ";\n")},
  };
}

bool sameNowPlaying(const NowPlaying& a, const NowPlaying& b) {
  const bool aCover = a.cover && !a.cover->bytes.empty();
  const bool bCover = b.cover && !b.cover->bytes.empty();
  return a.status == b.status && a.playerTitle == b.playerTitle && a.title == b.title &&
         a.artist == b.artist && a.album == b.album && a.year == b.year && a.track == b.track &&
         a.genre == b.genre && a.fileName == b.fileName && aCover == bCover &&
         (!aCover || a.cover->sha1 == b.cover->sha1);
}

}  // namespace output
