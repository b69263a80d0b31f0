// SHA-1 of a byte string, as 40 lower-case hex digits: what tells one
// cover from another.
#pragma once

#include <string>
#include <string_view>

std::string sha1Hex(std::string_view bytes);
