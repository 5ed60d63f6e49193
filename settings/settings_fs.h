// The few file-system operations of a safe save that differ between Windows
// (settings_fs_win32.cpp) and POSIX (settings_fs_posix.cpp).
#pragma once

#include <cstdio>

// Pushes a flushed file's data from the system's cache to the disk.
bool syncFile(std::FILE* file);
// Puts the file from in the place of the file to in one step, replacing it.
bool replaceFile(const char* from, const char* to);
// Makes a finished rename into filePath's directory survive a power cut.
void syncDirectoryOf(const char* filePath);
unsigned long currentProcessId();
