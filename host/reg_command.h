// The player's "reg" command: a registry editor over the POSIX settings
// store with the verbs and switches of the Windows reg command.
#pragma once

#include <string>
#include <vector>

namespace host {

// args: what follows "reg" on the command line. Returns the exit status
// (0 done, 1 failed or refused).
int regCommand(const std::vector<std::string>& args);

}  // namespace host
