#include "plugin/plugin.h"

#include <algorithm>
#include <cstring>

#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "dialog/resources/settings_form.h"
#include "dialog/settings_dialog.h"
#include "discord/presence.h"
#include "listens/listens.h"
#include "plugin/streamer_files.h"
#include "report/update.h"
#include "tags/tag_fields.h"
#include "trellicast/version.h"

PluginRecord pluginRecord = {
    PLUGIN_RECORD_VERSION, "", pluginInit, pluginConfig, pluginQuit, nullptr, nullptr};
char descriptionText[DESCRIPTION_SIZE];

namespace {

bool sendNow(const char* url) { return sendStatusNow(hostWindow, url); }

// Settings read anew: the timer's period, the files' folder and texts,
// and each room's own.
void settingsLoaded() {
  armUpdateTimer();
  configureStreamerFiles();
  configureDiscord();
  configureListens();
}

// Each room that follows the player gets every snapshot in turn.
void takeSnapshot(const PlayerSnapshot& snapshot, SnapshotCause cause) {
  publishStreamerFiles(snapshot, cause);
  takeDiscordSnapshot(snapshot, cause);
  takeListensSnapshot(snapshot, cause);
}

// Whether a room beside the post and the files follows the player now.
bool roomsFollow() { return discordFollowsPlayer() || listensFollowPlayer(); }

}  // namespace

extern "C" PluginRecord* winampGetGeneralPurposePlugin() { return &pluginRecord; }

int32_t pluginInit() {
  // The parts reach the player's window, the timer, the dialog's "Send
  // now" and the files for streamers through what is wired here.
  hostWindow = pluginRecord.hostWindow;
  settingsLoadedHook = settingsLoaded;
  sendNowHook = sendNow;
  listenTestHook = checkListenToken;
  snapshotHook = takeSnapshot;
  roomsFollowHook = roomsFollow;

  char path[512] = {};
  if (platform::moduleFileName(pluginRecord.moduleInstance, path, sizeof path) == 0) {
    path[0] = '\0';
  }
  path[sizeof path - 1] = '\0';

  const char* name = path;
  for (size_t i = std::strlen(path); i > 0; --i) {
    if (path[i - 1] == platform::pathSeparator()) {
      name = path + i;
      break;
    }
  }

  // The product and its version, " Plug-In v0.1 (", the module's file name
  // and ")", joined and cut to fit the buffer: a very long module name loses
  // its end rather than overflowing. "v0.1" is the version of the plug-in
  // interface the description has always named, not the product's: players
  // and users match the text as it stands, so it stays fixed.
  pluginRecord.description = descriptionText;
  size_t used = 0;
  for (const char* part : {TRELLICAST_PRODUCT, " Plug-In v0.1 (", name, ")"}) {
    const size_t room = sizeof descriptionText - 1 - used;
    const size_t n = std::min(std::strlen(part), room);
    std::memcpy(descriptionText + used, part, n);
    used += n;
  }
  descriptionText[used] = '\0';

  bodyBuffer = allocZeroed(BODY_BUFFER_SIZE);
  if (!bodyBuffer) return 0;
  urlSetting = allocZeroed(URL_MAX_CHARS + 1);
  if (!urlSetting) return 0;
  loadSettings();
  startWatchingPlayer();
  return 0;
}

void pluginConfig() {
  platform::dialogBox(pluginRecord.moduleInstance, IDD_SETTINGS, &form::SETTINGS_FORM, hostWindow,
                      settingsDialogProc);
}

void pluginQuit() {
  // Stop the watch and the timers before the buffers go, so no tick can
  // reach them.
  stopWatchingPlayer();
  platform::killTimer(hostWindow, UPDATE_TIMER_ID);
  // The files say "stopped" before the module goes.
  quitStreamerFiles();
  quitDiscord();
  quitListens();
  bodyBuffer.reset();
  urlSetting.reset();
}

void resetPlugin() {
  pluginRecord = {
      PLUGIN_RECORD_VERSION, "", pluginInit, pluginConfig, pluginQuit, nullptr, nullptr};
  descriptionText[0] = '\0';
  resetState();
  resetSettings();
  resetUpdateState();
  forgetTagFields();
  quitStreamerFiles();
  quitDiscord();
  quitListens();
}
