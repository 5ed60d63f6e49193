// The main window's only painting: the "Guest Waiting" panel.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Draws the panel for the first waiting guest into deviceContext, or nothing
// while no guest waits. GDI+ must have been started.
void paintPanel(HDC deviceContext);

// A display line as drawn: one UTF-16 unit per byte up to the first NUL; ASCII
// as it is, bytes 0x80 to 0xFF as the system ANSI code page reads them alone.
std::wstring widenLine(const std::string& line);

// The waiting clock, minutes and seconds as "%02i:%02i" (minus five is "-5").
std::wstring clockText(std::int32_t minutes, std::int32_t seconds);
