// The names the service is known by: to the system log, the service manager and the profile.
#pragma once

constexpr char kServiceName[] = "VoKelMng";
constexpr char kAppId[] = "{5D2A9C71-3B84-4E0F-A6C2-7F19E04B8D36}";
// The registration file in the profile directory: the same keys and values the original
// platform keeps in its registry, one section per key.
constexpr char kRegistrationFile[] = "VoKelMng.reg";
