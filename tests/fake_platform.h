// A scripted platform for running the launcher in-process: what the passes find, the module
// path and the language are set by the test; what the run does is recorded as events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern std::wstring g_fakeModulePath;
extern bool g_fakeModulePathWhole;
extern uint16_t g_fakeLanguageId;
// Interface paths the pass finds, one list per pass; passes beyond the list find nothing.
extern std::vector<std::vector<std::wstring>> g_fakePasses;
// "pause 500", "pass", "start open <path>", "notice <caption>|<text>", in order.
extern std::vector<std::wstring> g_fakeEvents;

void ResetFakePlatform();
