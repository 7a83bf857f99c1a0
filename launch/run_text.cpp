#include "run_text.h"

#include "bounded_format.h"
#include "device_rules.h"

bool FormatSummaryLine(char* out, size_t capacity)
{
    return FormatBoundedA(out, capacity,
                          "Pair: SunDevice=%d, SunDevice2=%d, BkDevice24G=%d, BkDevice5G=%d "
                          "g_dwSOCDevice=%d g_dwEntryDevice=%d\n",
                          static_cast<int>(g_dwSunDevice), static_cast<int>(g_dwSunDevice2),
                          static_cast<int>(g_dwBkDevice24G), static_cast<int>(g_dwBkDevice5G),
                          static_cast<int>(g_dwSOCDevice), static_cast<int>(g_dwEntryDevice));
}

namespace
{

// Six spaces on each side are part of the texts.
const NoticeText kChineseNotices[] = {
    {L"提示", L"      未检测到坦苏无线设备！      "},
    {L"提示", L"      检测到多个坦苏接收器，请只保留一个坦苏接收器      "},
};
const NoticeText kEnglishNotices[] = {
    {L"Tips", L"      No Tamsu Wireless Device detected!      "},
    {L"Tips", L"      Find more than one tamsu device, Please keep only one device.      "},
};

} // namespace

NoticeText SelectNotice(NoticeKind kind, uint16_t languageId)
{
    return languageId == kLangChineseSimplified ? kChineseNotices[kind] : kEnglishNotices[kind];
}
