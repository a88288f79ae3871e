// The Windows API for the win32 back end. platform.h comes first: windows.h defines SETRTS,
// MS_CTS_ON, EV_CTS, DTR_CONTROL_ENABLE, ... as macros, which would rewrite the constants of
// the same names declared there. After this, write those names unqualified in this folder
// (the macros carry the same values).
#pragma once

#include "platform/platform.h"

#include <windows.h>
