// The texts of a launcher run: the summary trace line and the two notices.
#pragma once

#include <cstddef>
#include <cstdint>

// "Pair: ..." with the six counters as they stand (before the fold). Returns false when cut.
bool FormatSummaryLine(char* out, size_t capacity);

enum NoticeKind
{
    kNoticeNoneFound,
    kNoticeManyFound,
};

struct NoticeText
{
    const wchar_t* caption;
    const wchar_t* text;
};

constexpr uint16_t kLangChineseSimplified = 0x0804;

// Chinese for exactly 0x0804 (Chinese, PRC); English for every other language, the other
// Chinese ones included.
NoticeText SelectNotice(NoticeKind kind, uint16_t languageId);
