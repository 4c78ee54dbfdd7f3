#pragma once
// The application object: start-up, the language file, the language, the mode and the exit
// code. Toolkit-free: the program's windows come in through the virtual Run* operations, so
// that a console-only run never touches a display.

#include "app/CommandLine.h"
#include "app/ProgramOptions.h"
#include "app/Station.h"
#include "image/FirmwareImage.h"
#include "ui/wizard/WizardRun.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Exit codes of the program itself, beside the results of the dialogs.
constexpr int EXIT_USAGE = 64;        // a bad option of the program's own
constexpr int EXIT_NO_DISPLAY = 69;   // the window was asked for but there is no display
constexpr int EXIT_SOFTWARE = 70;     // an internal error (an exception nobody expected)
constexpr int EXIT_CANNOT_WRITE = 73; // --convert could not write its output
constexpr int EXIT_IO_ERROR = 74;     // the report could not be written to standard output

// Standard output is the console already; binding it means every line shows at once, also
// through a pipe. False when there is no standard output or it cannot be made unbuffered.
bool RedirectStdoutToConsole();

// Whether a window can be shown: DISPLAY, WAYLAND_DISPLAY or an explicit QT_QPA_PLATFORM.
bool HasDisplay();

// The language file: <dir><name>.ini beside the executable, else the installed layout's
// <dir>../share/quillon/<name>.ini. Empty when neither exists.
std::string FindLanguageFile(const std::string& strAppDir, const std::string& strAppName);

class CJournal;

class CQuillonApp
{
public:
    // strArgv0: the name the program was started with (used when /proc/self/exe is unreadable).
    CQuillonApp(std::string strArgv0, std::vector<std::string> arguments);
    virtual ~CQuillonApp() = default;
    CQuillonApp(const CQuillonApp&) = delete;
    CQuillonApp& operator=(const CQuillonApp&) = delete;

    // Runs one mode (or answers one of the program's own options) and always returns false:
    // the process then ends with ExitInstance's code.
    virtual bool InitInstance();
    virtual int ExitInstance();
    virtual int GetExitCode() const;
    virtual void SetExitCode(const int& nCode);

    std::string IniPath() const { return m_strAppDir + LanguageFileName() + ".ini"; }
    bool IsConsoleOnly() const
    {
        return !HasWindows() || m_options.m_bHeadless || m_options.m_bJson || !HasDisplay();
    }

    std::string m_strAppDir;  // the executable's directory with its trailing '/'
    std::string m_strAppName; // the executable's file name

protected:
    // Whether this program has windows at all; the command-line-only program has none, and
    // every mode of it runs on the console.
    virtual bool HasWindows() const { return true; }
    // The language file's name without ".ini": the program's own name, so that a renamed
    // copy finds its file beside it.
    virtual std::string LanguageFileName() const { return m_strAppName; }
    // A start-up error box (no icon, one OK button); on standard error when console-only.
    virtual void ShowStartupMessage(const std::string& strText, const std::string& strCaption);
    // The modes that need a display. Their results become the exit code.
    virtual int RunMainWindow() = 0;
    virtual int RunWizardWindow(const CCustomCommandLineInfo& cmdInfo,
                                const CWizardOptions& options) = 0;
    // The station's window; a program without windows runs the station on the console.
    virtual int RunStationWindow(const CStationOptions& options);

    CProgramOptions m_options;

private:
    void ListBoards();
    // --convert: the flat image of one file into another; the exit code.
    int ConvertFile();
    // --station FILE, on the console or in its window; the exit code.
    int RunStation(const CCustomCommandLineInfo& cmdInfo);
    // --journal FILE for writing; false with the reason said on standard error.
    bool OpenJournal(CJournal& journal);

    std::vector<std::string> m_arguments;
};

// The entry point of a program: a failed write instead of SIGPIPE when a reader goes away, the
// app's exit code, and an internal error (70) instead of an abort for anything unexpected.
// fnMakeApp builds the program's application object.
int RunQuillonProgram(const std::function<std::unique_ptr<CQuillonApp>()>& fnMakeApp);
