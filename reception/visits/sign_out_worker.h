// The daily automatic sign-out: at the configured local time every visit
// still on site is signed out as "automatic".
#pragma once

#include <ctime>

// The next time after `after` at which the local clock shows minute (minutes after midnight).
std::time_t nextLocalMinute(std::time_t after, int minute);
// Starts the thread; minute -1 starts nothing.
void startSignOutWorker(int minute);
void stopSignOutWorker();
