// The record handed to the player and the lifecycle behind it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/player.h"

constexpr size_t DESCRIPTION_SIZE = 512;

extern PluginRecord pluginRecord;
extern char descriptionText[DESCRIPTION_SIZE];

extern "C" PluginRecord* winampGetGeneralPurposePlugin();

int32_t pluginInit();
void pluginConfig();
void pluginQuit();

// Puts the record and every part's state back as at load time (tests only
// use this between cases; the player never needs it).
void resetPlugin();
