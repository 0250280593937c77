/// @file
/// The desktop implementations of the settings store and the keychain.
#pragma once

#include "orvo/platform/SqliteKeychain.h"
#include "orvo/platform/SqliteSettingsStore.h"
