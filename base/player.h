// What the module and its player agree on, in one place for the module, the
// stand-in players and the tests: the record the module hands over and the
// queries it sends to the player's window. The settings dialog's control ids
// are part of the same contract; they live in dialog/resources/resource.h,
// where the Windows template reads them too.
#pragma once

#include <cstdint>

#include "platform/port.h"

// The record winampGetGeneralPurposePlugin returns.
struct PluginRecord {
  int32_t version;                        // always PLUGIN_RECORD_VERSION
  const char* description;                // empty text until pluginInit
  int32_t (*init)();                      // pluginInit
  void (*config)();                       // pluginConfig
  void (*quit)();                         // pluginQuit
  platform::WindowHandle hostWindow;      // set by the player before init
  platform::ModuleHandle moduleInstance;  // set by the player before init
};

constexpr int32_t PLUGIN_RECORD_VERSION = 16;

// Queries to the player's window: WM_USER messages whose lParam is the code.
constexpr intptr_t GET_STATUS = 104;  // wParam 0: PLAYING, PAUSED or STOPPED
// wParam 0: the playing track's position in ms; wParam 1: its length in
// seconds; -1 when nothing plays or it is not known.
constexpr intptr_t GET_OUTPUT_TIME = 105;
constexpr intptr_t GET_LIST_POSITION = 125;   // wParam 0: current playlist entry, from 0
constexpr intptr_t GET_FILE_NAME = 211;       // wParam: entry; its file name, or 0
constexpr intptr_t GET_TITLE = 212;           // wParam: entry; its title, or 0
constexpr intptr_t GET_TITLE_WIDE = 213;      // wParam: entry; its title in UTF-16, or 0
constexpr intptr_t GET_FILE_NAME_WIDE = 214;  // wParam: entry; its file name in UTF-16, or 0
// A query of ours, which a player that does not know it answers with 0:
// wParam 0; the path (UTF-8, terminated) of an image file the player shows
// for the current track, or 0. The cover of a track without a readable
// file of its own.
constexpr intptr_t GET_ART_FILE = 29763;

// What the player tells its own window when what it plays changes, also
// WM_USER messages whose lParam is the code; the module watches the window
// for them.
constexpr intptr_t NOTIFY_NEW_FILE = 3003;        // a new file starts; wParam: its name
constexpr intptr_t NOTIFY_NEW_FILE_WIDE = 13003;  // the same; wParam: its name in UTF-16
constexpr intptr_t NOTIFY_CHANGED = 603;          // wParam TITLE_CHANGED or STATUS_CHANGED
constexpr uintptr_t TITLE_CHANGED = 0, STATUS_CHANGED = 2;

// Answers to GET_STATUS.
constexpr int PLAYING = 1, PAUSED = 3, STOPPED = 0;
