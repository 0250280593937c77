// The library's diagnostic trace. Lines go to the current host's log sink;
// most only while the log switch is on.
#pragma once

#include <functional>
#include <string_view>

namespace orvo::logging {

// The switch: the shared manager installs "its record's useLog". Until
// something is installed the switch is off.
void setSwitch(std::function<bool()> isOn);
bool isOn();

// Written only while the switch is on.
void trace(std::string_view line);
// Written whatever the switch says.
void always(std::string_view line);

}  // namespace orvo::logging
