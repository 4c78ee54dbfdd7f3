#pragma once
// The registry of virtual boards: a directory in which every board is a subdirectory
// holding a `description` file and the listening sockets PIPE00 (host to board) and
// PIPE01 (board to host). Shared by the host's backend and by board programs.
// On Windows the pipes are named pipes and the board's directory names them in its
// `interface` file instead (PipeInterface.h); the locations differ as said below.

#include "usb/virtual/PipeInterface.h"

#include <string>
#include <vector>

inline constexpr char BOARD_DESCRIPTION_FILE[] = "description";
inline constexpr char BOARD_WRITE_SOCKET[] = "PIPE00"; // host to board
inline constexpr char BOARD_READ_SOCKET[] = "PIPE01";  // board to host

// $QUILLON_BOARD_DIR when set and not empty; else $XDG_RUNTIME_DIR/quillon/boards when
// XDG_RUNTIME_DIR is set; else /tmp/quillon-<uid>/boards. Made absolute.
// Windows: $QUILLON_BOARD_DIR, else %LOCALAPPDATA%\Quillon\boards.
std::string GetBoardRegistryDirectory();

// Creates the registry (and the parents Quillon owns) with mode 0700. False with a reason
// in *pstrError when it cannot be made or fails the check of IsTrustedRegistry.
bool EnsureBoardRegistry(const std::string& strDirectory, std::string* pstrError);

// True when the directory exists, belongs to the current user and nobody else can write to it.
bool IsTrustedRegistry(const std::string& strDirectory, std::string* pstrError = nullptr);

// Why the boards of an existing registry are ignored, with the command that fixes it, as one
// line for the user; empty when it is trusted or does not exist (no boards is no problem).
std::string RegistryTrustProblem(const std::string& strDirectory);

// Quillon's own per-user runtime directory: $XDG_RUNTIME_DIR/quillon when XDG_RUNTIME_DIR is
// set, else /tmp/quillon-<uid>.
std::string GetQuillonRuntimeDirectory();

// Creates strDirectory (and its missing parents) with mode 0700 and checks it as a registry is
// checked, and Quillon's own runtime directory too when strDirectory lies directly in it.
// False with a reason in *pstrError.
bool EnsurePrivateDirectory(const std::string& strDirectory, std::string* pstrError);

// Board names in ascending byte order; names beginning with '.' are boards being built.
std::vector<std::string> ListBoardNames(const std::string& strDirectory);

// The description: the file's bytes up to the first newline, NUL or the end; empty if unreadable.
std::string ReadBoardDescription(const std::string& strBoardDirectory);

// What tells boards apart: the same text for one board reached by two paths (a bind mount of
// its directory, links to its sockets; on Windows two directories naming one pipe interface),
// so that a run over all boards takes it once. A path that is no virtual board is its own.
std::string BoardIdentity(const std::string& strDevicePath);

// Windows: the interface path in the board directory's interface file; empty when it is
// missing or no pipe interface path.
std::string ReadBoardInterface(const std::string& strBoardDirectory);

// POSIX: Unix socket addresses hold about 107 bytes; longer socket paths are reached through an
// O_PATH descriptor of their directory. Returns a connected socket, or -1 with errno set.
int ConnectBoardSocket(const std::string& strSocketPath);
// Binds and listens; -1 with errno set on failure.
int ListenBoardSocket(const std::string& strSocketPath);
