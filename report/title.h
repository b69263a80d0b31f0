// The playing entry's title as the form body carries it.
#pragma once

#include <cstdint>

#include "base/buffer.h"
#include "platform/port.h"

// Asks the player (window) for the title of the playlist entry at position
// and gives the text the body carries; never null, the empty text when the
// player has none.
//
// With utf8Setting: the wide title (213) as UTF-8; a player that answers 0
// or 1 to it is asked for the code-page title (212), which is converted to
// UTF-8 (kept as it is when the code page is UTF-8). A converted text is
// held by converted; one that cannot be converted or allocated (the "Out of
// memory" box has been shown) is the empty text.
// Without it: the code-page title (212) as the player gives it.
const char* entryTitle(platform::WindowHandle window, intptr_t position, Buffer& converted);
