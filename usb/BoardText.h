#pragma once
// Text that came from a board (its version banner, its description, the name of its
// directory) is shown only through ShowableBoardText: a board must not be able to move the
// cursor, clear the screen, set a window title, hide text or add lines in our output.

#include <string>

// strText with every control character (C0, DEL, C1), every character that reorders the text
// around it (bidirectional overrides and isolates) and every byte that is not part of valid
// UTF-8 replaced by '?'. Printable text, UTF-8 included, is kept as it is.
std::string ShowableBoardText(const std::string& strText);
