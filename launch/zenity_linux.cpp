#include "zenity_linux.h"

#include "error_output_linux.h"
#include "platform.h"
#include "process_linux.h"
#include "run_text_linux.h"
#include "text_linux.h"

#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

extern char** environ;

namespace
{

// By absolute path: never a program of the same name picked up from PATH.
const char kZenityPath[] = "/usr/bin/zenity";

// The progress box: zenity's process and the write end of its standard input, whose closing
// ends it; g_dwProgressShown once the box or the line has been shown in this run.
pid_t g_progressZenity = -1;
int g_progressInput = -1;
unsigned long g_dwProgressShown;
// How long the box has to close by itself, and again after it is asked to.
constexpr unsigned kProgressGraceMilliseconds = 2000;

bool HasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0')
            return access(kZenityPath, X_OK) == 0;
    }
    return false;
}

} // namespace

bool ShowZenityNotice(const char* caption, const char* text)
{
    if (!HasDisplay())
        return false;
    char program[] = "zenity";
    char info[] = "--info";
    char noMarkup[] = "--no-markup"; // without it, a text with '&' would be replaced
    char title[] = "--title";
    char textOption[] = "--text";
    char* const arguments[] = {program,
                               info,
                               noMarkup,
                               title,
                               const_cast<char*>(caption),
                               textOption,
                               const_cast<char*>(text),
                               nullptr};
    return RunProcess(kZenityPath, arguments, environ) == 0;
}

void ShowPreparingProgress()
{
    if (g_dwProgressShown++ != 0)
        return;
    const NoticeText notice = PreparingText(SystemLanguageId());
    char caption[64];
    char text[512];
    WideToUtf8(notice.caption, caption, sizeof caption);
    WideToUtf8(notice.text, text, sizeof text);
    int input[2];
    if (HasDisplay() && pipe2(input, O_CLOEXEC) == 0)
    {
        char program[] = "zenity", progress[] = "--progress", pulsate[] = "--pulsate";
        char noCancel[] = "--no-cancel", autoClose[] = "--auto-close", title[] = "--title";
        char textOption[] = "--text";
        char* const arguments[] = {program, progress, pulsate,    noCancel, autoClose,
                                   title,   caption,  textOption, text,     nullptr};
        if (SpawnProcess(&g_progressZenity, kZenityPath, arguments, environ, false, input[0]) == 0)
            g_progressInput = input[1];
        else
            close(input[1]);
        close(input[0]);
        if (g_progressInput >= 0)
            return;
    }
    char line[sizeof caption + sizeof text + 4];
    FormatBoundedA(line, sizeof line, "%s: %s\n", caption, text);
    WriteText(STDERR_FILENO, line);
}

void EndPreparingProgress()
{
    if (g_progressInput < 0)
        return;
    // zenity ends when its input does, at once; one that lingers (a hung display, a box that
    // never closes) is ended, so that the launcher still exits.
    close(g_progressInput);
    g_progressInput = -1;
    EndProcess(g_progressZenity, kProgressGraceMilliseconds);
    g_progressZenity = -1;
}
