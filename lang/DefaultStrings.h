#pragma once
#include <string>

// The built-in English text of a string id (1 to 48); "????" for any other id.
std::string GetDefaultString(int nId);
