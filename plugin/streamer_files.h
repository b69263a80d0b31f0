// The files for streamers (output/), fed by the update cycle: what a
// snapshot of the player says, as the writer takes it.
#pragma once

#include "base/snapshot.h"
#include "output/now_playing.h"

// The snapshot as the files show it: the status (1 playing, 3 paused, else
// stopped), the player's title, title/artist/album/year/track/genre from
// the frames (47, 61, 29, 80 or else 38, 68, 32; text that is not UTF-8,
// Latin-1 as stored, converted), the file's name without its folders and
// the cover the snapshot carries (none while stopped).
output::NowPlaying nowPlayingOf(const PlayerSnapshot& snapshot);

// What the plug-in wires: the settings as read now (a folder of none: no
// files), every snapshot the cycle takes, and the quit (the stopped state).
void configureStreamerFiles();
void publishStreamerFiles(const PlayerSnapshot& snapshot, SnapshotCause cause);
void quitStreamerFiles();
