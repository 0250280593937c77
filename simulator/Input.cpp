#include "Input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orvo/Json.h"

namespace orvo::sim {
namespace {

constexpr std::string_view kStandardInput = "-";

struct TooDeep {};

std::string withoutPrefix(std::string reason) {
  // The parser's text is "[...] parse error at line L, column C: REASON".
  if (const auto at = reason.find("parse error"); at != std::string::npos)
    if (const auto colon = reason.find(": ", at); colon != std::string::npos)
      return reason.substr(colon + 2);
  if (reason.rfind("[json.exception.", 0) == 0)
    if (const auto space = reason.find("] "); space != std::string::npos)
      return reason.substr(space + 2);
  return reason;
}

// Why a file of this type is not read at all; empty for a regular file.
std::string notAFile(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISDIR(mode)) return "it is a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a file";
  if (S_ISFIFO(mode)) return "it is a FIFO, not a file";
  return "it is not a regular file";
}

}  // namespace

std::optional<std::string> readInput(const std::string& path, std::size_t limit,
                                     std::string& error) {
  const bool standardInput = path == kStandardInput;
  const std::string name = standardInput ? "standard input" : path;
  auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    error = "cannot read " + name + ": " + why;
    return std::nullopt;
  };
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
  const int fd =
      standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse(std::strerror(errno));
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) ::close(fd);
    }
  } closer{fd, !standardInput};

  struct stat st {};
  if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
  if (!standardInput) {
    if (const std::string why = notAFile(st.st_mode); !why.empty()) return refuse(why);
    if (static_cast<std::size_t>(st.st_size) > limit)
      return refuse("it is " + std::to_string(st.st_size) + " bytes; the limit is " +
                    std::to_string(limit));
  }
  // Read to one byte past the limit: a file that grew, or standard input,
  // is refused there rather than read to its end.
  std::string text;
  char buffer[65536];
  while (text.size() <= limit) {
    const std::size_t want = std::min(sizeof buffer, limit + 1 - text.size());
    const ssize_t n = ::read(fd, buffer, want);
    if (n == 0) return text;
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (errno == EAGAIN) {
      pollfd watch{fd, POLLIN, 0};
      ::poll(&watch, 1, -1);
    } else if (errno != EINTR) {
      return refuse(std::strerror(errno));
    }
  }
  return refuse("it holds more than " + std::to_string(limit) + " bytes, the limit");
}

std::optional<nlohmann::json> parseInputJson(const std::string& text, JsonProblem& problem) {
  using Json = nlohmann::json;
  const Json::parser_callback_t bound = [](int depth, Json::parse_event_t event, Json&) {
    // The depth is that of the container being opened's parent.
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= static_cast<int>(kJsonMaxDepth))
      throw TooDeep{};
    return true;
  };
  try {
    return Json::parse(text, bound);
  } catch (const TooDeep&) {
    problem = {"arrays and objects nest deeper than " + std::to_string(kJsonMaxDepth) + " levels",
               std::nullopt};
  } catch (const Json::parse_error& error) {
    // The parser's byte is one past the offending character.
    problem = {withoutPrefix(error.what()), error.byte > 0 ? error.byte - 1 : 0};
  } catch (const Json::exception& error) {
    problem = {withoutPrefix(error.what()), std::nullopt};
  }
  return std::nullopt;
}

}  // namespace orvo::sim
