// The pictures of a file's own tag, through TagLib, for the cover lookup.
// TagLib's objects and exceptions stay in this file.
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <cstring>
#include <string>

#include "tags/cover.h"
#include "tags/id3v2_repair.h"
#include "tags/media_stream.h"
#include "tags/readers.h"

namespace {

// The front cover among the pictures offered, else the first of them.
struct PictureChoice {
  bool found = false;
  bool front = false;
  TagLib::ByteVector data;

  void offer(bool isFront, const TagLib::ByteVector& bytes) {
    if (bytes.isEmpty() || (found && (front || !isFront))) return;
    data = bytes;
    found = true;
    front = isFront;
  }
};

void offerId3v2(const TagLib::ID3v2::Tag* tag, PictureChoice& choice) {
  if (tag == nullptr) return;
  for (const TagLib::ID3v2::Frame* frame : tag->frameList("APIC")) {
    if (auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
      choice.offer(picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover,
                   picture->picture());
    }
  }
}

void offerFlac(const TagLib::List<TagLib::FLAC::Picture*>& pictures, PictureChoice& choice) {
  for (const TagLib::FLAC::Picture* picture : pictures) {
    choice.offer(picture->type() == TagLib::FLAC::Picture::FrontCover, picture->data());
  }
}

// An APE item "Cover Art (Front)": a description ending in a zero byte,
// then the image.
void offerApe(TagLib::APE::Tag* tag, PictureChoice& choice) {
  if (tag == nullptr) return;
  const TagLib::APE::ItemListMap& items = tag->itemListMap();
  const auto it = items.find("COVER ART (FRONT)");
  if (it == items.end() || it->second.type() != TagLib::APE::Item::Binary) return;
  const TagLib::ByteVector value = it->second.binaryData();
  const int zero = value.find('\0');
  if (zero >= 0) choice.offer(true, value.mid(static_cast<unsigned>(zero) + 1));
}

void offerOwnFormat(TagLib::File* file, PictureChoice& choice) {
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
    offerFlac(flac->pictureList(), choice);
    if (flac->hasXiphComment()) offerFlac(flac->xiphComment()->pictureList(), choice);
  } else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag())) {
    offerFlac(xiph->pictureList(), choice);
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
    if (mp4->tag() != nullptr && mp4->tag()->contains("covr")) {
      for (const TagLib::MP4::CoverArt& art : mp4->tag()->item("covr").toCoverArtList())
        choice.offer(false, art.data());
    }
  } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
    if (asf->tag() != nullptr) {
      for (const TagLib::ASF::Attribute& attribute : asf->tag()->attribute("WM/Picture")) {
        const TagLib::ASF::Picture picture = attribute.toPicture();
        if (picture.isValid())
          choice.offer(picture.type() == TagLib::ASF::Picture::FrontCover, picture.picture());
      }
    }
  } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(file)) {
    offerApe(ape->APETag(false), choice);
  } else if (auto* wavPack = dynamic_cast<TagLib::WavPack::File*>(file)) {
    offerApe(wavPack->APETag(false), choice);
  } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(file)) {
    offerApe(mpc->APETag(false), choice);
  } else if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
    offerId3v2(mpeg->ID3v2Tag(false), choice);
    offerApe(mpeg->APETag(false), choice);
  }
}

}  // namespace

std::string embeddedCover(MediaFile& media) {
  try {
    // A leading ID3v2 tag, repaired if need be, pictures and all.
    repairLeadingTag(media, PictureData::kept);
    PictureChoice choice;
    unsigned char head[3] = {};
    if (readMediaFile(media, 0, head, 3) == 3 && std::memcmp(head, "ID3", 3) == 0) {
      MediaStream stream(media);
      TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
      if (file.isValid()) offerId3v2(file.ID3v2Tag(false), choice);
    }
    if (!choice.found && ownFormatSafe(media)) {
      MediaStream stream(media);
      const TagLib::FileRef ref(&stream, false);
      if (!ref.isNull()) offerOwnFormat(ref.file(), choice);
    }
    if (!choice.found || choice.data.size() > COVER_SIZE_LIMIT) return std::string();
    return std::string(choice.data.data(), choice.data.size());
  } catch (...) {
    // TagLib gave up (out of memory): no cover.
    return std::string();
  }
}
