#pragma once

namespace Update {

// The names of the installation's own items, directly in its folder.
inline constexpr const char* kClientExeName = "Corvel.exe";
inline constexpr const char* kNotifierExeName = "ZoRezivirArerur.exe";
inline constexpr const char* kLocalSettingsName = "Localcfg.ini";
inline constexpr const char* kClientInfoName = "ClientInfo.ini";

// All of them but the updater's own executable: what no package may take.
inline constexpr const char* kInstallationItems[] = {kClientExeName,     kNotifierExeName, kLocalSettingsName,
                                                     kClientInfoName,    "Skin",           "Language",
                                                     "plugins"};

} // namespace Update
