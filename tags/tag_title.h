// The title the stand-in player gives a playlist entry, from the same tag
// readers as the plug-in's fragment.
#pragma once

#include <string>

// "Artist - Title" from the title frame and the first performer frame
// there is (lead performer, band, conductor, remixer), or the empty text
// when either is missing or empty.
std::string tagTitle(const char* fileName);
