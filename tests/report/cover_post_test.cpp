// The cover's fields and its upload: what a form parser finds in them.
#include "report/cover_post.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string SHA1 = "0123456789abcdef0123456789abcdef01234567";

// The parts of a multipart body, as a form parser splits it: the headers
// and data of each part between the boundaries.
std::vector<std::pair<std::string, std::string>> parts(const std::string& body,
                                                       const std::string& boundary) {
  std::vector<std::pair<std::string, std::string>> found;
  const std::string delimiter = "--" + boundary;
  size_t at = body.find(delimiter);
  while (at != std::string::npos && body.compare(at + delimiter.size(), 2, "--") != 0) {
    const size_t headStart = at + delimiter.size() + 2;
    const size_t headEnd = body.find("\r\n\r\n", headStart);
    const size_t next = body.find("\r\n" + delimiter, headEnd);
    if (headEnd == std::string::npos || next == std::string::npos) break;
    found.emplace_back(body.substr(headStart, headEnd - headStart),
                       body.substr(headEnd + 4, next - headEnd - 4));
    at = next + 2;
  }
  return found;
}

TEST(CoverPost, FieldsOfADataPost) {
  EXPECT_EQ(coverFields(SHA1, "image/jpeg"),
            "&wm_cover[hash]=" + SHA1 + "&wm_cover[type]=image%2Fjpeg");
}

TEST(CoverPost, UploadAsAFormParserReadsIt) {
  struct Case {
    const char* name;
    std::string bytes, mime, fileName;
  } cases[] = {
      {"jpeg", "\xFF\xD8\xFF\xE0 jfif", "image/jpeg", "cover.jpg"},
      {"png with CR LF and dashes inside", "\x89PNG\r\n--\r\n\x1A\n", "image/png", "cover.png"},
      {"gif", "GIF89a", "image/gif", "cover.gif"},
      {"webp", "RIFF....WEBP", "image/webp", "cover.webp"},
      {"bmp", "BM", "image/bmp", "cover.bmp"},
      {"picture holding the first boundary", "..--TrellicastCover" + SHA1 + "--..", "image/png",
       "cover.png"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CoverUpload upload = makeCoverUpload(c.bytes, c.mime, SHA1, "127.0.0.1:8080");
    const std::string typeLine = "Content-Type: multipart/form-data; boundary=";
    ASSERT_EQ(upload.headers.rfind(typeLine, 0), 0u);
    const std::string boundary =
        upload.headers.substr(typeLine.size(), upload.headers.find('\n') - typeLine.size());
    EXPECT_EQ(c.bytes.find(boundary), std::string::npos);
    EXPECT_NE(upload.headers.find("\nHost: 127.0.0.1:8080\nContent-Length: " +
                                  std::to_string(upload.body.size()) + "\n"),
              std::string::npos);
    const auto found = parts(upload.body, boundary);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].first, "Content-Disposition: form-data; name=\"wm_action\"");
    EXPECT_EQ(found[0].second, "wm_cover");
    EXPECT_EQ(found[1].first, "Content-Disposition: form-data; name=\"wm_cover[hash]\"");
    EXPECT_EQ(found[1].second, SHA1);
    EXPECT_EQ(found[2].first,
              "Content-Disposition: form-data; name=\"wm_cover[data]\"; filename=\"" + c.fileName +
                  "\"\r\nContent-Type: " + c.mime);
    EXPECT_EQ(found[2].second, c.bytes);
    EXPECT_EQ(upload.body.substr(upload.body.size() - boundary.size() - 6),
              "--" + boundary + "--\r\n");
  }
}

}  // namespace
