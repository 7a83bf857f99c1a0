// The Linux launcher's own notices: the receiver is not open to the caller, and what an
// administrator does once about it, or what the caller does when the rule is there already; the
// tool is a Windows program and there is no Wine to run it.
#pragma once

#include "run_text.h"

#include <cstddef>
#include <cstdint>

// Room for a notice with the whole rule and any kit path and node (each character of which may
// take twelve in the commands' quotes, six in the text's).
constexpr size_t kAccessNoticeChars = 8192;

// The notice in the run's language (Chinese for 0x0804, as the others), its text formatted into
// text, when the caller cannot open the receiver's node (a path) and the launcher's udev rule is
// not installed: the commands an administrator runs once as root. When the rules file in the
// folder kit (which ends in '/') is the launcher's own (kitRuleIsOwn), they copy it, named as one
// shell word that holds no raw control character whatever the path holds, and install the copy
// only if it has the SHA-256 of the launcher's own text; otherwise the notice says that the kit's
// file is not the launcher's, and the commands write the launcher's own text. Then they reload
// and apply udev's rules. Paths in the text have their control characters written \xHH.
NoticeText AccessNotice(uint16_t languageId, const wchar_t* kit, bool kitRuleIsOwn,
                        const char* node, wchar_t* text, size_t capacity);

// The notice when the launcher's rule is installed and the caller still cannot open the node:
// the rule opens it only to the user at the computer's own screen. No commands.
NoticeText SeatNotice(uint16_t languageId, const char* node, wchar_t* text, size_t capacity);

// The notice in the run's language when the tool is a Windows program and no Wine was found,
// its text formatted into text: it names the package to install, and the folder of a wine
// refused (refused, when not empty) as another user could have put it there.
NoticeText WineNotice(uint16_t languageId, const char* refused, wchar_t* text, size_t capacity);

// The notice in the run's language when the tool is a Windows program that the Wine found cannot
// run: a 32-bit one (thirtyTwoBit) with a Wine of 64-bit programs alone, or the other way round.
// It names the part of Wine to install.
NoticeText WineMachineNotice(uint16_t languageId, bool thirtyTwoBit);

// The progress text in the run's language while the kit's Wine prefix is prepared for a first
// start.
NoticeText PreparingText(uint16_t languageId);
