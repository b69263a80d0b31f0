// The title the stand-in player gives a playlist entry, from the same tag
// readers as the plug-in's fragment.
#pragma once

#include <string>

// "Artist - Title" from the title frame and the first performer frame
// there is (lead performer, band, conductor, remixer), or the empty text
// when either is missing or empty. UTF-8, Latin-1 frames converted.
std::string tagTitle(const char* fileName);
