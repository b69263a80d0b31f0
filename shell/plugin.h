// The record handed to the player and the lifecycle behind it.
#pragma once

#include <cstdint>

#include "platform/port.h"

struct PluginRecord {
  int32_t version;                        // always 16
  const char* description;                // empty text until pluginInit
  int32_t (*init)();                      // pluginInit
  void (*config)();                       // pluginConfig
  void (*quit)();                         // pluginQuit
  platform::WindowHandle hostWindow;      // set by the player before init
  platform::ModuleHandle moduleInstance;  // set by the player before init
};

constexpr int32_t PLUGIN_RECORD_VERSION = 16;

extern "C" PluginRecord* winampGetGeneralPurposePlugin();

int32_t pluginInit();
void pluginConfig();
void pluginQuit();
