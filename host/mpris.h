// trellicast-host's MPRIS mode: the plug-in module reports what the active
// desktop media player on the session bus plays.
#pragma once

#include <string>
#include <vector>

namespace host {

// trellicast-host [--config PATH] mpris [--player NAME] [--quit-after N]
//                 [--refresh N]
// args are the words after "mpris". Returns the process's exit status:
// 0 after a quit, 1 when the module cannot be loaded or the bus is lost,
// 2 for bad arguments or no session bus.
int mprisMode(const std::string& modulePath, const std::vector<std::string>& args);

}  // namespace host
