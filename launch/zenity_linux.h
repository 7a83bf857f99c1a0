// The boxes zenity shows for the launcher on a Linux desktop: a notice, and the progress of a
// first start under Wine. Each is shown only with a display and zenity installed.
#pragma once

// Shows the notice with zenity and waits until it is dismissed. False when there is no display,
// or zenity could not run or did not show it (a display that cannot be opened, for one): the
// caller then writes it on standard error.
bool ShowZenityNotice(const char* caption, const char* text);

// While the kit's Wine prefix is made or given its settings, or another launcher is doing so:
// a pulsating progress box with no cancel button and a short text in the run's language, or with
// no display one line on standard error. Shown once per run; a second call does nothing.
void ShowPreparingProgress();

// Closes the progress box, if one is shown, and waits a few seconds at most for zenity to end.
void EndPreparingProgress();
