// What the shared library exports: the library is built with hidden
// visibility, so only declarations marked ORVO_PUSH_API are reachable from an
// application, and nothing of the libraries it uses internally.
#pragma once

/// @file
/// The export macro of the public API.

#if defined(ORVO_PUSH_STATIC)
/// Empty for the static library: an application that links it into a shared
/// library of its own decides what that exports.
#define ORVO_PUSH_API
#else
/// Marks a public class or function as exported from `liborvo-push.so`.
#define ORVO_PUSH_API __attribute__((visibility("default")))
#endif
