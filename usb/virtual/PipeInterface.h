#pragma once
// Virtual boards on Windows are served over named pipes. A board directory in the registry holds
// `interface`: the board's interface path, under \\.\pipe\; its pipes are that path followed by
// "\PIPE00" and "\PIPE01". What may stand there is checked before Quillon opens anything, since
// the name goes to CreateFileA, which would follow "..", "." and "/" out of the pipe namespace.

#include <string>
#include <string_view>

inline constexpr char BOARD_INTERFACE_FILE[] = "interface";
inline constexpr char PIPE_NAMESPACE[] = "\\\\.\\pipe\\";
// Named pipes' names have at most 256 characters after \\.\pipe\, the pipe suffix included.
inline constexpr size_t MAX_PIPE_NAME = 256;

// True for "\\.\pipe\" (any case) followed by components separated by single backslashes, none
// empty, "." or "..", without '/', control characters or room too small for "\PIPE00".
bool IsPipeInterfacePath(std::string_view path);

// A pipe name formed from a pipe interface path: the interface path and "\PIPE00" or "\PIPE01".
bool IsPipeInterfacePipeName(std::string_view pipeName);

// The interface path given by the text of an `interface` file: its first line, without a
// trailing carriage return; empty when that is no pipe interface path.
std::string PipeInterfaceFromText(std::string_view text);

// The interface path a board program gives its board: unique to the process, so two registries
// with boards of the same name never share a pipe.
std::string BoardPipeInterface(unsigned long nProcessId, const std::string& strBoardName);
