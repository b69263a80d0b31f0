#include "report/cover_post.h"

#include <iterator>

#include "platform/percent.h"

namespace {

// The file name a receiver sees for a picture of this type.
std::string_view coverFileName(std::string_view mime) {
  if (mime == "image/png") return "cover.png";
  if (mime == "image/gif") return "cover.gif";
  if (mime == "image/webp") return "cover.webp";
  if (mime == "image/bmp") return "cover.bmp";
  return "cover.jpg";
}

bool keepInValue(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string coverFields(std::string_view sha1, std::string_view mime) {
  std::string fields = "&wm_cover[hash]=";
  fields.append(sha1);
  fields += "&wm_cover[type]=";
  percentEscape(mime, keepInValue, std::back_inserter(fields));
  return fields;
}

CoverUpload makeCoverUpload(std::string_view bytes, std::string_view mime, std::string_view sha1,
                            std::string_view hostToken) {
  // A boundary made of the hash, lengthened until the picture does not
  // hold it.
  std::string boundary = "TrellicastCover";
  boundary.append(sha1);
  while (bytes.find(boundary) != std::string_view::npos) boundary += 'x';

  CoverUpload upload;
  std::string& body = upload.body;
  const auto part = [&](std::string_view disposition) {
    body += "--";
    body += boundary;
    body += "\r\nContent-Disposition: form-data; name=\"";
    body.append(disposition);
  };
  part("wm_action\"\r\n\r\nwm_cover\r\n");
  part("wm_cover[hash]\"\r\n\r\n");
  body.append(sha1);
  body += "\r\n";
  part("wm_cover[data]\"; filename=\"");
  body.append(coverFileName(mime));
  body += "\"\r\nContent-Type: ";
  body.append(mime);
  body += "\r\n\r\n";
  body.append(bytes);
  body += "\r\n--";
  body += boundary;
  body += "--\r\n";

  upload.headers = "Content-Type: multipart/form-data; boundary=";
  upload.headers += boundary;
  upload.headers += "\nHost: ";
  upload.headers.append(hostToken);
  upload.headers += "\nContent-Length: ";
  upload.headers += std::to_string(body.size());
  upload.headers += "\n";
  return upload;
}
