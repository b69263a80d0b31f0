// Process-wide state, touched only on the player's window thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "base/snapshot.h"
#include "platform/port.h"

constexpr uintptr_t UPDATE_TIMER_ID = 1;
constexpr size_t BODY_BUFFER_SIZE = 8192;
constexpr size_t URL_MAX_CHARS = 1024;  // urlSetting holds this many plus a terminator
constexpr int32_t DEFAULT_ENABLED = 1;
constexpr uint32_t DEFAULT_INTERVAL = 10;
constexpr bool DEFAULT_UTF8 = true;
constexpr size_t UPDATE_STATUS_SIZE = 1280;

// The player's main window, from the record the player filled in before
// init.
extern platform::WindowHandle hostWindow;
extern Buffer bodyBuffer;  // BODY_BUFFER_SIZE bytes, from pluginInit to pluginQuit
extern Buffer urlSetting;  // URL_MAX_CHARS + 1 bytes, from pluginInit to pluginQuit
extern int32_t enabledSetting;
extern uint32_t intervalSetting;
// Whether posts carry UTF-8 throughout (the title and every tag text), or
// the player's code-page title and Latin-1 frames as stored.
extern bool utf8Setting;
extern bool updateInProgress;
extern bool errorShown;

// What became of the last post, as the settings dialog's status line shows
// it, and who is told when it changes (the open dialog; null for none).
extern char updateStatus[UPDATE_STATUS_SIZE];
extern void (*updateStatusListener)(const char* line);

// What the plug-in wires at start-up, so a part can reach one it does not
// include: settings read anew arm the update timer; the dialog's "Send now"
// posts the current status to a URL (false when a post is in flight).
extern void (*settingsLoadedHook)();
extern bool (*sendNowHook)(const char* url);
// The dialog's "Test" of a listening history's server and token.
extern void (*listenTestHook)(const char* url, const char* token);
// Every time the update cycle has read the player, before the body is
// written from it: whatever else follows the player is wired here. Runs on
// the player's thread; copy what must outlive the call.
extern void (*snapshotHook)(const PlayerSnapshot& snapshot, SnapshotCause cause);
// Whether a room wired there follows the player now (its setting is on):
// the cycle reads the player while the post, the files or such a room do.
// Null: none.
extern bool (*roomsFollowHook)();

// Puts the state above back to its value at load time, the allocator
// included (tests only use this between cases; the player never needs it).
// The values only base/settings.h declares are resetSettings' to reset.
void resetState();
