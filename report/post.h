// The last step of an update: the post itself, to where the URL points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/state.h"
#include "platform/port.h"

// The header block keeps 72 fixed characters, the body length (at most four
// digits, the body never reaching 8192 bytes) and a terminator: this is what
// is left for the host token.
constexpr size_t HOST_TOKEN_MAX = 947;
// Every component of a URL is at most this long.
constexpr size_t URL_PIECE_SIZE = URL_MAX_CHARS + 1;

// A URL split into what its posts are made of.
struct Destination {
  char hostToken[HOST_TOKEN_MAX + 1];  // the Host header's value
  char host[URL_PIECE_SIZE];           // the server, without brackets
  char user[URL_PIECE_SIZE];           // percent-decoded
  char password[URL_PIECE_SIZE];       // percent-decoded
  char target[URL_PIECE_SIZE + 1];     // path and query
  uint16_t port;
  bool secure;
  bool hasUser;
};

// Splits url into destination: true, or false with the system's code for
// why it is no URL a post can go to ("Invalid URL").
bool splitDestination(const char* url, Destination* destination, uint32_t* error);

// Writes the added headers (content type, Host, the body's length) and
// hands the post of body to the backend's sender. None when the header
// block could not be had (the "Out of memory" box has been shown).
std::optional<platform::PostStartResult> startPost(const Destination& destination, const char* body,
                                                   size_t length);

// Hands the post of body with the given header block ("Name: value\n"
// lines, its own Content-Type, Host and Content-Length among them) to the
// backend's sender: how a cover goes out.
platform::PostStartResult startPostWithHeaders(const Destination& destination, const char* headers,
                                               size_t headersLength, const char* body,
                                               size_t length);

// text with every "%XX" (two hex digits, not "%00") written as its byte,
// into out (capacity bytes, terminated): how a URL's user name and password
// are meant.
void percentDecode(const char* text, size_t length, char* out, size_t capacity);
