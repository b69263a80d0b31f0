#include "base/state.h"

#include <cstdio>
#include <cstdlib>

platform::WindowHandle hostWindow = nullptr;
Buffer bodyBuffer;
Buffer urlSetting;
int32_t enabledSetting = DEFAULT_ENABLED;
uint32_t intervalSetting = DEFAULT_INTERVAL;
bool utf8Setting = DEFAULT_UTF8;
bool updateInProgress = false;
bool errorShown = false;
char updateStatus[UPDATE_STATUS_SIZE] = "No update sent yet";
void (*updateStatusListener)(const char* line) = nullptr;
void (*settingsLoadedHook)() = nullptr;
bool (*sendNowHook)(const char* url) = nullptr;
void (*listenTestHook)(const char* url, const char* token) = nullptr;
void (*snapshotHook)(const PlayerSnapshot& snapshot, SnapshotCause cause) = nullptr;
bool (*roomsFollowHook)() = nullptr;

void resetState() {
  hostWindow = nullptr;
  bodyBuffer.reset();
  urlSetting.reset();
  enabledSetting = DEFAULT_ENABLED;
  intervalSetting = DEFAULT_INTERVAL;
  utf8Setting = DEFAULT_UTF8;
  updateInProgress = false;
  errorShown = false;
  std::snprintf(updateStatus, sizeof updateStatus, "%s", "No update sent yet");
  updateStatusListener = nullptr;
  settingsLoadedHook = nullptr;
  sendNowHook = nullptr;
  listenTestHook = nullptr;
  snapshotHook = nullptr;
  roomsFollowHook = nullptr;
  rawAllocate = std::malloc;
}
