#pragma once
// What start-up asks of the system about the program itself and its standard output. The
// console side (RedirectStdoutToConsole, HasDisplay) is declared with the application.

#include <string>

// The running program's folder, with its separator at the end, and its name without the
// ".exe" of Windows; false when the system cannot say.
bool GetProgramPlace(std::string& strDir, std::string& strName);

// The program's name from a path as it was started (argv[0]): the last part, without ".exe".
std::string ProgramNameOf(const std::string& strPath);

// Whether standard output is open and a file or pipe rather than a terminal: a report that
// could not be written there must be said.
bool StdoutIsFileOrPipe();

// A board or a reader that goes away must give a failed write, not end the process.
void IgnoreBrokenPipes();
