// The wire contract the receiver checks requests against: its endpoints,
// the key sets the library sends at each receiver version, and the values
// the receiver can judge on their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvo::emulator {

using Keys = std::vector<std::string>;

// The file names the library posts to.
const std::vector<std::string>& receiverEndpoints();
// Every key set the library may send to this endpoint at receiver version r.
std::vector<Keys> keySets(const std::string& endpoint, const std::string& r);
// What is wrong with this value of this key; empty when it is fine.
std::string malformation(const std::string& key, const std::string& value);
bool parseInteger(const std::string& text, std::int64_t& value);
bool validUtf8(const std::string& text);

// -1, 0 or 1: numeric runs compare by value, after padding with ".0" components.
int compareVersions(const std::string& left, const std::string& right);
// Whether receiver version r is above the threshold t.
bool versionAbove(const std::string& r, const char* t);
// A receiver version an application may be set to: "4.0", "3.6.1".
bool isVersionText(const std::string& text);

}  // namespace orvo::emulator
