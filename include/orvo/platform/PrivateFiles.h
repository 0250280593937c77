/// @file
/// Files and folders that only this user may read (settings, keys, logs that
/// hold them), private whatever the process's umask: created with their mode
/// before anything is written to them, not tightened afterwards.
#pragma once

#include <string>

#include "orvo/Export.h"

namespace orvo {

/// The folder `path` exists and only its owner can enter it: the folders
/// missing on the way are created 0700, and an existing `path` loses what
/// group and others could do (0755 becomes 0700, 0500 stays); existing
/// folders above it are left as they are. False with `error` saying why.
ORVO_PUSH_API bool createPrivateDirectory(const std::string& path, std::string& error);

/// The file `path` exists as a regular file only its owner can open: created
/// 0600, or an existing one stripped of what group and others could do (0644
/// becomes 0600, 0400 stays), its missing folders created 0700. A symbolic
/// link or anything but a regular file is refused, not followed. Nothing is
/// written to the file. False with `error` saying why.
ORVO_PUSH_API bool createPrivateFile(const std::string& path, std::string& error);

}  // namespace orvo
