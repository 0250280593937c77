#include "orvo/platform/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/SqliteDatabase.h"

namespace orvo {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kOthers = 077;
constexpr std::string_view kNotARegularFile = "not a regular file";

}  // namespace

bool createPrivateDirectory(const std::string& path, std::string& error) {
  if (!platform::createDirectories(path, kDirectoryMode, error)) return false;
  // Tightened: bits are taken from others, never given to the owner.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 ||
      ((st.st_mode & kOthers) != 0 && ::chmod(path.c_str(), st.st_mode & 0700) != 0)) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool createPrivateFile(const std::string& path, std::string& error) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  if (!platform::createDirectories(parent, kDirectoryMode, error)) return false;
  // Created with its mode, so that no other user can open it in between.
  bool created = true;
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    // O_NONBLOCK: a FIFO in its place must not hold the open up.
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    error = kNotARegularFile;
    ::close(fd);
    return false;
  }
  // A new file gets its mode back from the umask; an existing one only
  // loses what others could do with it.
  const mode_t mode = created ? kFileMode : (st.st_mode & kFileMode);
  ok = ok && ((st.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0);
  if (!ok) error = std::strerror(errno);
  ::close(fd);
  if (ok && created) platform::syncDirectory(parent);
  return ok;
}

}  // namespace orvo
