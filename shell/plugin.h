// The record handed to the player and the lifecycle behind it.
#pragma once

#include <cstdint>

#include "shell/player.h"

extern "C" PluginRecord* winampGetGeneralPurposePlugin();

int32_t pluginInit();
void pluginConfig();
void pluginQuit();
