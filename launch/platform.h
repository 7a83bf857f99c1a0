// What a launcher run needs from the platform. Each platform implements all of it in its own
// file (platform_windows.cpp, platform_linux.cpp), chosen by the build.
#pragma once

#include "launch_decision.h"
#include "run_text.h"

#include <cstddef>
#include <cstdint>

// The launcher's own full path, always terminated. Returns false when the platform could not
// give the whole path in capacity characters; no tool is started from a cut path.
bool ReadModulePath(wchar_t* out, size_t capacity);

void PauseMilliseconds(unsigned milliseconds);

// The chosen tool's path under the base directory, in the platform's separators. Returns false
// when it did not fit capacity.
bool FormatToolPath(const ToolTarget& target, const wchar_t* baseDirectory, wchar_t* out,
                    size_t capacity);

// Starts the tool by exact path, with no arguments, without waiting for it: on Windows with the
// target's verb, on Linux once the receiver is open to the caller. Whether it started is not
// examined. Returns the run's exit code: 0, or on Linux 1 when the receiver is not open to the
// caller (after the notice that says what an administrator does about it).
int StartTool(const ToolTarget& target, const wchar_t* toolPath);

// The system's default language identifier, as Windows numbers languages.
uint16_t SystemLanguageId();

// Shows a notice with one OK button and returns when it is dismissed.
void ShowNotice(const NoticeText& notice);
