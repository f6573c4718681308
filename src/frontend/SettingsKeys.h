#pragma once

#include <cstddef>

// The keys of the settings file, from the one table that lists them.
enum class SettingsKey {
#define SETTINGS_KEY(name, key) name,
#include "frontend/SettingsKeys.def"
#undef SETTINGS_KEY
};

constexpr std::size_t kSettingsKeyCount = 0
#define SETTINGS_KEY(name, key) +1
#include "frontend/SettingsKeys.def"
#undef SETTINGS_KEY
    ;

// The key as the settings file spells it.
inline const char* KeyName(SettingsKey key)
{
    static constexpr const char* kNames[] = {
#define SETTINGS_KEY(name, key) key,
#include "frontend/SettingsKeys.def"
#undef SETTINGS_KEY
    };
    return kNames[static_cast<int>(key)];
}
