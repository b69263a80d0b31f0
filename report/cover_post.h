// What the posts carry of the cover: two fields in every data post, and
// the picture itself in a multipart/form-data upload of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Pictures larger than this are not uploaded; their hash still goes out.
constexpr size_t COVER_UPLOAD_MAX = 1024 * 1024;

// "&wm_cover[hash]=<sha1>&wm_cover[type]=<escaped MIME type>", appended to
// a data post.
std::string coverFields(std::string_view sha1, std::string_view mime);

// One upload: its header block ("Name: value\n" lines, as a data post's)
// and its body.
struct CoverUpload {
  std::string headers;
  std::string body;
};
// The upload of a picture: wm_action=wm_cover, wm_cover[hash] and the file
// part wm_cover[data] named cover.<extension of its type>, in a
// multipart/form-data body whose boundary occurs nowhere in the picture.
CoverUpload makeCoverUpload(std::string_view bytes, std::string_view mime, std::string_view sha1,
                            std::string_view hostToken);
