#include "settings.h"

SettingsMap settingsMap;
const char userKey[] = "user";
