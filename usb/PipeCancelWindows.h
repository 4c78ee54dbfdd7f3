#pragma once
// The pipe layer's process-wide stop as Windows waits see it.

#include <windows.h>

// Set while the stop is raised (manual reset): wait on it beside the I/O's own event.
HANDLE PipeCancelEvent();
