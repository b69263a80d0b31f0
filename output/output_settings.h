// The settings of the files for streamers: their names in the store and
// their defaults.
#pragma once

namespace output {

constexpr const char* OUTPUT_FOLDER_VALUE = "OutputFolder";  // REG_SZ; empty or absent: no files
constexpr const char* OUTPUT_TEMPLATE_VALUE = "OutputTemplate";  // REG_SZ
constexpr const char* OUTPUT_STOPPED_VALUE = "OutputStopped";    // REG_SZ
constexpr const char* DEFAULT_OUTPUT_TEMPLATE = "%artist% - %title%";
constexpr const char* DEFAULT_OUTPUT_STOPPED = "";

}  // namespace output
