// The library's diagnostic trace. Lines go to the writer the host layer
// installs (the current host's log sink); most only while the log switch is
// on.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace orvo::logging {

// The switch: the shared manager installs "its record's useLog". Until
// something is installed the switch is off.
void setSwitch(std::function<bool()> isOn);
bool isOn();

// Where lines go. The host layer sits above this one, so it installs the
// writer when the library is loaded; until then lines are dropped.
using Writer = void (*)(std::string_view line);
void setWriter(Writer writer);

// Written only while the switch is on.
void trace(std::string_view line);
// Written whatever the switch says.
void always(std::string_view line);

// Fills the placeholders of a line's format ("%@", "%d", "%f", "%lu") in
// order with texts the caller has already formatted. Placeholders without a
// value are left as they are; values without a placeholder are dropped.
std::string format(std::string_view format, std::initializer_list<std::string_view> values);

}  // namespace orvo::logging
