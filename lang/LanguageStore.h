#pragma once
// Where the user's language comes from: another of the maker's products stores it as the
// registry value "CurrentLanguage" under HKEY_CURRENT_USER\Software\corvane\TesselV3_ARM\Info.
// On Windows that value is read; elsewhere a per-user file stands in for it.

#include <cstddef>
#include <optional>
#include <string>

constexpr size_t LANGUAGE_VALUE_BUFFER = 32; // a longer stored value counts as unreadable

// The stored language: the value, or an empty text when the store, its key or its value is
// missing or unreadable (a value longer than the buffer included). nullopt only for a value
// that is present and empty.
std::optional<std::string> ReadStoredLanguage();

// POSIX: the per-user file that stands in for the registry value:
// $XDG_CONFIG_HOME/corvane/TesselV3_ARM.conf (default ~/.config/...), section [Info].
std::string GetUserLanguageStorePath();
