// Process-wide state, touched only on the player's window thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shell/buffer.h"
#include "shell/plugin.h"

constexpr uintptr_t UPDATE_TIMER_ID = 1;
constexpr size_t DESCRIPTION_SIZE = 512;
constexpr size_t BODY_BUFFER_SIZE = 8192;
constexpr size_t URL_MAX_CHARS = 1024;  // urlSetting holds this many plus a terminator
constexpr int32_t DEFAULT_ENABLED = 1;
constexpr uint32_t DEFAULT_INTERVAL = 10;
constexpr bool DEFAULT_UTF8 = true;

extern PluginRecord pluginRecord;
extern char descriptionText[DESCRIPTION_SIZE];
extern Buffer bodyBuffer;  // BODY_BUFFER_SIZE bytes, from pluginInit to pluginQuit
extern Buffer urlSetting;  // URL_MAX_CHARS + 1 bytes, from pluginInit to pluginQuit
extern int32_t enabledSetting;
extern uint32_t intervalSetting;
// Whether posts carry UTF-8 throughout (the title and every tag text), or
// the player's code-page title and Latin-1 frames as stored.
extern bool utf8Setting;
extern bool updateInProgress;
extern bool errorShown;

// Puts every piece of state back to its value at load time (tests only use
// this between cases; the player never needs it).
void resetState();
