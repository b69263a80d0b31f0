#include "plugin/streamer_files.h"

#include <new>
#include <string>
#include <string_view>

#include "base/player.h"
#include "base/settings.h"
#include "output/writer.h"
#include "platform/unicode.h"
#include "tags/cover.h"

namespace {

// id3lib's frame numbers of what the files show.
constexpr int FRAME_TITLE = 47, FRAME_ARTIST = 61, FRAME_ALBUM = 29, FRAME_YEAR = 80,
              FRAME_RECORDING_TIME = 38, FRAME_TRACK = 68, FRAME_GENRE = 32;

// The first frame of that number, in UTF-8; empty when there is none.
std::string frameText(const std::vector<SnapshotFrame>& frames, int number) {
  for (const SnapshotFrame& frame : frames)
    if (frame.number == number) return unicode::frameTextUtf8(frame.text);
  return {};
}

std::string leafOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

output::NowPlaying nowPlayingOf(const PlayerSnapshot& snapshot) {
  output::NowPlaying playing;
  playing.status = snapshot.status == PLAYING  ? output::PlayStatus::playing
                   : snapshot.status == PAUSED ? output::PlayStatus::paused
                                               : output::PlayStatus::stopped;
  playing.playerTitle = snapshot.titleUtf8;
  if (snapshot.frames) {
    const std::vector<SnapshotFrame>& frames = *snapshot.frames;
    playing.title = frameText(frames, FRAME_TITLE);
    playing.artist = frameText(frames, FRAME_ARTIST);
    playing.album = frameText(frames, FRAME_ALBUM);
    playing.year = frameText(frames, FRAME_YEAR);
    if (playing.year.empty()) {
      // A recording time ("2024-05-17T20:00") gives its year.
      playing.year = frameText(frames, FRAME_RECORDING_TIME);
      const size_t dash = playing.year.find('-');
      if (dash == 4) playing.year.resize(4);
    }
    playing.track = frameText(frames, FRAME_TRACK);
    playing.genre = frameText(frames, FRAME_GENRE);
  }
  if (snapshot.hasFile && !snapshot.fileName.empty()) playing.fileName = leafOf(snapshot.fileName);
  // The cover the cycle looked up once for every room; none while stopped.
  if (playing.status != output::PlayStatus::stopped) playing.cover = snapshot.cover;
  return playing;
}

void configureStreamerFiles() {
  output::outputConfigure(outputSettings.folder, outputSettings.pattern, outputSettings.stopped);
}

void publishStreamerFiles(const PlayerSnapshot& snapshot, SnapshotCause) {
  if (outputSettings.folder.empty()) return;
  try {
    output::outputPublish(nowPlayingOf(snapshot));
  } catch (const std::bad_alloc&) {
    // The files keep what they hold; the next snapshot tries again.
  }
}

void quitStreamerFiles() { output::outputQuit(); }
