#include "shell/plugin.h"

#include <algorithm>
#include <cstring>

#include "dialog/resources/resource.h"
#include "dialog/settings_dialog.h"
#include "report/update.h"
#include "shell/settings.h"
#include "shell/state.h"
#include "trellicast/version.h"

extern "C" PluginRecord* winampGetGeneralPurposePlugin() { return &pluginRecord; }

int32_t pluginInit() {
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
  // its end rather than overflowing.
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
  platform::dialogBox(pluginRecord.moduleInstance, IDD_SETTINGS, pluginRecord.hostWindow,
                      settingsDialogProc);
}

void pluginQuit() {
  // Stop the watch and the timers before the buffers go, so no tick can
  // reach them.
  stopWatchingPlayer();
  platform::killTimer(pluginRecord.hostWindow, UPDATE_TIMER_ID);
  bodyBuffer.reset();
  urlSetting.reset();
}
