// The certificates the desktop HTTP client trusts when the application adds
// its own to the system's.
#pragma once

#include <optional>
#include <string>

namespace orvo::http {

// The system's CA certificates (PEM) followed by those of `extraFile`; none
// when no file is named or it cannot be read, in which case the file is
// handed to libcurl as it is, so that TLS fails with libcurl's own report
// instead of quietly trusting less.
std::optional<std::string> caBundleWith(const std::string& extraFile);

}  // namespace orvo::http
