// The Linux launcher's own notices: the receiver is not open to the caller, and what an
// administrator does once about it; the tool is a Windows program and there is no Wine to run it.
#pragma once

#include "run_text.h"

#include <cstddef>
#include <cstdint>

// Room for the notice with any kit path (each character of which may take four in quotes).
constexpr size_t kAccessNoticeChars = 2048;

// The notice in the run's language (Chinese for 0x0804, as the others), its text formatted
// into text: the commands that install the kit's rule from the folder kit (which ends in '/'),
// as one shell word whatever it holds, and reload and apply udev's rules.
NoticeText AccessNotice(uint16_t languageId, const wchar_t* kit, wchar_t* text, size_t capacity);

// The notice in the run's language when the tool is a Windows program and no Wine was found:
// it names the package to install.
NoticeText WineNotice(uint16_t languageId);

// The notice in the run's language when the tool is a Windows program that the Wine found cannot
// run: a 32-bit one (thirtyTwoBit) with a Wine of 64-bit programs alone, or the other way round.
// It names the part of Wine to install.
NoticeText WineMachineNotice(uint16_t languageId, bool thirtyTwoBit);
