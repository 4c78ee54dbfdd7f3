#pragma once
#include <string>

// The debug channel: silent unless $QUILLON_DEBUG is set, then one line on standard error.
void OutputDebugText(const std::string& strText);
