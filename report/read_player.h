// The one reader of the player: what every room is handed is read here.
#pragma once

#include <optional>

#include "base/snapshot.h"
#include "platform/port.h"

// Asks the player (window), in this order, for the status (104), the
// playlist position (125), the track's position and length (105), that entry's title (213 and/or
// 212, as entryTitle asks) and its file name (214, then 211 when the wide one is not given), and
// reads the named file's tag frames. None, after the "Out of memory" box, when the snapshot cannot
// be held.
std::optional<PlayerSnapshot> readPlayer(platform::WindowHandle window);
