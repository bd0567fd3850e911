#pragma once

#include <QString>
#include <cstddef>

// The few things that differ between Windows and the other systems.
namespace platform
{

// Copy of a log text for a debugger (stderr where there is none).
void debugOutput(const QString& text);

// Ends every process whose executable name is name and waits until they are
// gone. Never ends the calling process.
void killProcessesByName(const QString& name);

// Moves from onto to, replacing an existing file in one step, so that no
// moment exists in which neither the old nor the new content is at to.
bool replaceFile(const QString& from, const QString& to);

// A hint that a large fresh buffer may use huge pages: reading a big file
// into 4 KiB pages costs one page fault each.
void adviseLargePages(void* data, size_t size);

// Gives the owner execute permission on a file that lacks it (no-op on Windows).
bool ensureOwnerExecutable(const QString& path);

// The window's fonts are the Windows CJK system fonts; elsewhere they are
// mapped to an installed CJK family so that Latin and Chinese text match.
void substituteWindowsFonts();

// Ends the process at once with this code, destroying nothing. Here the
// browser engine's own exit-time teardown can crash a process that ends while
// a page is still loading, turning a clean end into a crash.
[[noreturn]] void exitNow(int code);

} // namespace platform
