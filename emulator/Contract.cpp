#include "Contract.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

#include "State.h"

namespace orvo::emulator {
namespace {

// The endpoint table: file names the library posts to.
const std::vector<std::string> kEndpoints = {
    "asking_authorization.ctl",      "rcv_register_service.ctl",
    "rcv_get_service.ctl",           "rcv_appAlive.ctl",
    "rcv_delete_service.ctl",        "rcv_register_user.ctl",
    "rcv_delete_user.ctl",           "rcv_register_usergroup_user.ctl",
    "rcv_delete_usergroup_user.ctl", "new_rcv_register_service_and_user.ctl",
    "rcv_register_sent_ack.ctl",     "rcv_register_send_result.ctl",
    "rcv_register_message.ctl",      "rcv_init_badgeNo.ctl"};

Keys operator+(Keys left, const Keys& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

const Keys kServiceCurrent = {"APP_ID", "CUID",     "DEVICE_ID", "DEVICE_TYPE", "PNSID",
                              "PSID",   "PHONENUM", "CBSID",     "AUTHKEY"};
const Keys kServiceExtended = kServiceCurrent + Keys{"DEVICE_MD", "OS_VER", "APP_VER", "APNS_MODE"};
const Keys kServiceLegacy = {"APP_ID",  "CUST_CD", "CUID", "DVC_ID",
                             "DVC_TYP", "PNS_ID",  "PSID", "CBS_ID"};
const Keys kDeleteLegacy = {"APP_ID", "CUST_CD", "CUID", "DVC_ID", "DVC_TYP", "PNS_ID", "PSID"};
const Keys kUserWithDevice = {"PNSID", "APP_ID", "DEVICE_ID", "PSID",
                              "CUID",  "CNAME",  "PHONENUM",  "AUTHKEY"};
const Keys kCombined = {"PNSID", "APP_ID", "DEVICE_ID", "DEVICE_TYPE", "PSID",
                        "CUID",  "CNAME",  "PHONENUM",  "AUTHKEY"};
const Keys kAckA = {"CUID", "APP_ID", "PSID", "MESSAGEUNIQUEKEY", "SEQNO", "AUTHKEY"};
const Keys kAckB = kAckA + Keys{"SENDDATE"};
const Keys kAckC = {"CUID", "APP_ID", "PSID", "SEQNO", "SENDDATE", "DB_IN", "AUTHKEY"};
const Keys kAckD = {"CUID",  "APP_ID",    "PSID",  "SEQNO",   "SENDDATE",
                    "DB_IN", "DEVICE_ID", "PNSID", "AUTHKEY", "SENDERCODE"};
const Keys kSendLong = {"CUID", "PSID",        "APP_ID",     "MESSAGE", "PRIORITY", "EXT",
                        "TYPE", "SERVICECODE", "SENDERCODE", "AUTHKEY", "TARGET"};
const Keys kSendShort = {"CUID", "APP_ID",      "MESSAGE", "PRIORITY",
                         "EXT",  "SERVICECODE", "AUTHKEY", "TARGET"};

bool above(const std::string& r, const char* t) { return versionAbove(r, t); }
bool atLeast(const std::string& r, const char* t) { return compareVersions(t, r) != 1; }
bool exactly(const std::string& r, const char* t) { return compareVersions(t, r) == 0; }

Keys ackSet(const std::string& r) {
  if (!above(r, "3.5")) return kAckA;
  if (exactly(r, "3.6")) return kAckB;
  if (!above(r, "3.9")) return kAckC;
  return kAckD;
}

}  // namespace

bool versionAbove(const std::string& r, const char* t) { return compareVersions(t, r) == -1; }

std::vector<Keys> keySets(const std::string& endpoint, const std::string& r) {
  if (endpoint == "asking_authorization.ctl")
    return {above(r, "3.5") ? Keys{"APP_ID", "CUID", "PSID"} : Keys{"CUID", "PSID"}};
  if (endpoint == "rcv_register_service.ctl") {
    if (exactly(r, "3.0")) return {kServiceLegacy};
    return {atLeast(r, "4.0") ? kServiceExtended : kServiceCurrent};
  }
  if (endpoint == "rcv_get_service.ctl" || endpoint == "rcv_appAlive.ctl") return {kServiceCurrent};
  if (endpoint == "rcv_delete_service.ctl")
    return {exactly(r, "3.0") ? kDeleteLegacy : kServiceCurrent};
  if (endpoint == "rcv_register_user.ctl") {
    if (exactly(r, "3.0")) return {{"CUID", "CUST_CD", "USER_NM", "USER_HP"}};
    if (above(r, "3.5")) return {kUserWithDevice};
    return {{"CUID", "PSID", "CNAME", "AUTHKEY"}};
  }
  if (endpoint == "rcv_delete_user.ctl") return {kUserWithDevice};
  if (endpoint == "rcv_register_usergroup_user.ctl" || endpoint == "rcv_delete_usergroup_user.ctl")
    return {{"PSID", "CUID", "GROUPSEQ", "AUTHKEY"}};
  if (endpoint == "new_rcv_register_service_and_user.ctl")
    return {atLeast(r, "4.0") ? kCombined + Keys{"DEVICE_MD", "OS_VER", "APP_VER", "APNS_MODE"}
                              : kCombined};
  if (endpoint == "rcv_register_sent_ack.ctl") {
    // The acknowledgement with an explicit client UID (the extension's) always
    // sends the long set; the message-key form exists only below 3.6.
    std::vector<Keys> sets{ackSet(r), kAckD};
    if (compareVersions("3.6", r) == 1) sets.push_back(kAckA);
    return sets;
  }
  if (endpoint == "rcv_register_send_result.ctl") {
    std::vector<Keys> sets{ackSet(r)};
    if (above(r, "3.9")) sets.push_back(kAckD + Keys{"BADGENO"});
    if (atLeast(r, "4.0")) sets.push_back(kAckD);
    if (compareVersions("3.6", r) == 1) sets.push_back(kAckA);
    return sets;
  }
  if (endpoint == "rcv_register_message.ctl") {
    if (exactly(r, "3.5"))
      return {kSendShort, kSendShort + Keys{"PSID"}, kSendShort + Keys{"RESERVEDATE", "DB_IN"}};
    std::vector<Keys> sets{kSendLong, kSendLong + Keys{"RESERVEDATE", "DB_IN"}};
    if (atLeast(r, "4.0")) sets.push_back(kSendLong + Keys{"BADGENO"});
    return sets;
  }
  if (endpoint == "rcv_init_badgeNo.ctl")
    return {{"AUTHKEY", "DEVICE_ID", "PNSID", "APP_ID", "BADGENO"}};
  return {};
}

bool parseInteger(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::string malformation(const std::string& key, const std::string& value) {
  std::int64_t number = 0;
  std::int64_t ms = 0;
  if (key == "BADGENO" && !parseInteger(value, number)) return "an integer expected";
  if (key == "PRIORITY" && !parseInteger(value, number)) return "an integer expected";
  if (key == "SEQNO" && !value.empty() && !parseInteger(value, number))
    return "an integer expected";
  if (key == "DB_IN" && value != "Y" && value != "N") return "Y or N expected";
  if (key == "APNS_MODE" && value != "DEV" && value != "REAL") return "DEV or REAL expected";
  if (key == "TARGET" && value != "CUID" && value != "PSID") return "CUID or PSID expected";
  if (key == "RESERVEDATE" && !value.empty() && !parseDate(value, ms))
    return "a date yyyyMMddHHmmss expected";
  if (key == "APP_ID" && value.empty()) return "a non-empty value expected";
  return {};
}

bool validUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xE  ? 3
                         : (c >> 3) == 0x1E ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t point = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 0x2) return false;
      point = (point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and points past Unicode are not UTF-8.
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
      return false;
    i += length;
  }
  return true;
}

const std::vector<std::string>& receiverEndpoints() { return kEndpoints; }

int compareVersions(const std::string& left, const std::string& right) {
  auto split = [](const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
      const auto dot = text.find('.', start);
      parts.push_back(text.substr(start, dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return parts;
  };
  auto a = split(left), b = split(right);
  while (a.size() < b.size()) a.push_back("0");
  while (b.size() < a.size()) b.push_back("0");
  std::string x, y;
  for (std::size_t i = 0; i < a.size(); ++i) {
    x += (i ? "." : "") + a[i];
    y += (i ? "." : "") + b[i];
  }
  std::size_t i = 0, j = 0;
  while (i < x.size() && j < y.size()) {
    if (std::isdigit(static_cast<unsigned char>(x[i])) &&
        std::isdigit(static_cast<unsigned char>(y[j]))) {
      std::size_t ei = i, ej = j;
      while (ei < x.size() && std::isdigit(static_cast<unsigned char>(x[ei]))) ++ei;
      while (ej < y.size() && std::isdigit(static_cast<unsigned char>(y[ej]))) ++ej;
      std::string_view dx(x.data() + i, ei - i), dy(y.data() + j, ej - j);
      while (dx.size() > 1 && dx.front() == '0') dx.remove_prefix(1);
      while (dy.size() > 1 && dy.front() == '0') dy.remove_prefix(1);
      if (dx.size() != dy.size()) return dx.size() < dy.size() ? -1 : 1;
      if (const int c = dx.compare(dy); c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    if (x[i] != y[j])
      return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < x.size()) return 1;
  if (j < y.size()) return -1;
  return 0;
}

bool isVersionText(const std::string& text) {
  // One to eight dot-separated runs of digits.
  std::size_t runs = 0, digits = 0;
  for (char c : text) {
    if (c == '.') {
      if (digits == 0) return false;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 9) {
      if (digits++ == 0) ++runs;
    } else {
      return false;
    }
  }
  return digits > 0 && runs <= 8;
}

}  // namespace orvo::emulator
