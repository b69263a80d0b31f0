// The listening history: what plays, told to a ListenBrainz server (the
// public service or a self-hosted one) as "playing now", and each track
// that counts as a listen (listens/listen_rules.h) queued durably and
// submitted by the listens thread (listens/sender.h).
//
// Played time is counted here, on the player's thread, from the snapshots
// and from a timer of our own set for the moment the track will have played
// enough (LISTEN_TIMER_ID), when the player is asked once more.
#pragma once

#include <cstdint>

#include "base/snapshot.h"

constexpr uintptr_t LISTEN_TIMER_ID = 20;
constexpr uintptr_t LISTEN_STATUS_TIMER_ID = 21;
constexpr uint32_t LISTEN_STATUS_POLL_MS = 100;
constexpr uint32_t LISTEN_STATUS_POLL_COUNT = 150;  // how long a token check is waited for
// Shortens the listen rules' times by this factor when set (whole number):
// for runs of the stand-in player with tracks of a few seconds.
constexpr const char* LISTEN_TIME_DIVISOR_VARIABLE = "TRELLICAST_LISTEN_TIME_DIVISOR";

void configureListens();
void takeListensSnapshot(const PlayerSnapshot& snapshot, SnapshotCause cause);
bool listensFollowPlayer();
// The dialog's "Test": asks the server at url whether token is valid; the
// answer goes to the dialog's status line.
void checkListenToken(const char* url, const char* token);
void quitListens();
