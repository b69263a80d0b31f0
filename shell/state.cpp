#include "shell/state.h"

PluginRecord pluginRecord = {
    PLUGIN_RECORD_VERSION, "", pluginInit, pluginConfig, pluginQuit, nullptr, nullptr};
char descriptionText[DESCRIPTION_SIZE];
Buffer bodyBuffer;
Buffer urlSetting;
int32_t enabledSetting = DEFAULT_ENABLED;
uint32_t intervalSetting = DEFAULT_INTERVAL;
bool utf8Setting = DEFAULT_UTF8;
bool updateInProgress = false;
bool errorShown = false;

void resetState() {
  pluginRecord = {
      PLUGIN_RECORD_VERSION, "", pluginInit, pluginConfig, pluginQuit, nullptr, nullptr};
  descriptionText[0] = '\0';
  bodyBuffer.reset();
  urlSetting.reset();
  enabledSetting = DEFAULT_ENABLED;
  intervalSetting = DEFAULT_INTERVAL;
  utf8Setting = DEFAULT_UTF8;
  updateInProgress = false;
  errorShown = false;
}
