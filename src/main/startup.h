// The desktop program's start: the hooks through which the engine reaches
// the windows, the checks made before any window exists, the main window and
// its message loop.
#pragma once

#include "hooks.h"

// Dialogs as modal message boxes (a line to type as a modal input box), the
// DeviceStateMessage as an event sent synchronously to the window, the
// hourglass cursor, the event pump.
FrontEndHooks GuiHooks();

// Asks the player for its status and checks the card, offering to format a
// card without the player's volume. True when the main window may be created;
// false when the program ends (its message has been shown).
bool StartUpChecks();

// Everything after the application object exists: the checks, TMainForm and
// the message loop. Returns the process's exit code.
int RunMainProgram();
