#include <iterator>
#include <string>

#include "tags/id3v2_guard.h"
#include "tags/id3v2_repair.h"
#include "tags/readers.h"
#include "tags/tag_title.h"

void walkMediaFile(MediaFile& media, FrameSink& sink, Latin1Text latin1) {
  repairLeadingTag(media);
  // An ID3v2.4 tag without a frame TagLib can read supersedes nothing: the
  // file goes on as if it had none.
  if (startsWithId3v24(media) && walkId3v24(media, sink, latin1) > 0) return;
  if (!id3v2MediaSafe(media)) return;
  if (walkId3lib(media, sink, latin1) > 0) return;
  walkOwnFormat(media, sink, latin1);
}

std::string tagTitle(const char* fileName) {
  // The title frame, and of the performer frames the first there is in
  // this order: lead performer, band, conductor, remixer (an empty one
  // still counts, and leaves the entry without a tag title).
  constexpr int TITLE = 47;
  constexpr int PERFORMERS[] = {61, 62, 63, 64};
  std::string title;
  std::string artists[std::size(PERFORMERS)];
  bool haveTitle = false;
  bool haveArtist[std::size(PERFORMERS)] = {};
  FrameSink sink = [&](int number, const char* value) {
    if (number == TITLE && !haveTitle) {
      title = value;
      haveTitle = true;
    }
    for (size_t i = 0; i < std::size(PERFORMERS); ++i) {
      if (number == PERFORMERS[i] && !haveArtist[i]) {
        artists[i] = value;
        haveArtist[i] = true;
      }
    }
    return true;
  };
  try {
    const MediaFileOwner media = openMediaFile(fileName);
    if (!media) return std::string();
    // A player on Linux names its entries in UTF-8.
    walkMediaFile(*media, sink, Latin1Text::asUtf8);
    for (size_t i = 0; i < std::size(PERFORMERS); ++i) {
      if (!haveArtist[i]) continue;
      if (!artists[i].empty() && !title.empty()) return artists[i] + " - " + title;
      break;
    }
  } catch (...) {
  }
  return std::string();
}
