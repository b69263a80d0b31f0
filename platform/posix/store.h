// The POSIX settings store's services beyond the port's, for the stand-in
// player's set, get and unset. Results are 0 or an errno code.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/port.h"

namespace platform::posix {

// The known setting of that name (case aside), or nullptr.
const SettingName* settingNamed(std::string_view name);
// Each known setting the file holds, in SETTING_NAMES order.
int storedSettings(std::vector<std::pair<std::string, std::string>>* settings);
// Sets one setting to value, or removes it (none). EINVAL for an unknown
// name and a number setting's value that is not a whole number up to
// 4294967295.
// A value as a line of the file holds it (quoted when it must be).
std::string quoted(const std::string& value);
int changeSetting(const std::string& name, const std::optional<std::string>& value);

}  // namespace platform::posix
