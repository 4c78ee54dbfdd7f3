// quillon-board: virtual Plinth boards for Quillon, its tests and anyone without hardware.

#include "board/BoardLoop.h"
#include "board/BoardOptions.h"
#include "usb/virtual/VirtualRegistry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

int main(int argc, char** argv)
{
    CBoardOptions options;
    std::string strError;
    if (!ParseBoardOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &strError))
    {
        std::fprintf(stderr, "quillon-board: %s\n", strError.c_str());
        return 2;
    }
    if (options.m_bHelp)
    {
        std::fputs(BoardUsage(), stdout);
        return 0;
    }
    std::error_code error;
    if (!options.m_strSaveDir.empty())
    {
        // A missing save directory is made, as "mkdir -p" would.
        std::filesystem::create_directories(options.m_strSaveDir, error);
        if (!std::filesystem::is_directory(options.m_strSaveDir))
        {
            std::fprintf(stderr,
                         "quillon-board: --save-dir %s is not a directory and cannot be "
                         "made one%s%s\n",
                         options.m_strSaveDir.c_str(), error ? ": " : "",
                         error ? error.message().c_str() : "");
            return 2;
        }
    }
    CWireLog log;
    if (!options.m_strLogFile.empty() && !log.Open(options.m_strLogFile))
    {
        std::fprintf(stderr, "quillon-board: cannot open the log %s: %s\n",
                     options.m_strLogFile.c_str(), std::strerror(errno));
        return 1;
    }
    log.SetLimit(options.m_nLogLimit);
    const std::string strRegistry =
        options.m_strRegistry.empty() ? GetBoardRegistryDirectory() : options.m_strRegistry;
    return ServeBoards(options, strRegistry, log.IsOpen() ? &log : nullptr);
}
