// Runs a command with an emulated Plinth board plugged into an emulated USB bus, so that
// unchanged programs (quillon, quillon --list, the window) meet the board through libusb.
//
//   quillon-usb-board-run [OPTION]... -- COMMAND [ARG]...   (starts itself under umockdev-wrapper)
//
//   --banner TEXT       the bootloader's version banner
//   --packet 64|512     bulk packet size (full speed or high speed)
//   --wrong-reply STEP  answer STEP (s1 s2 s3 R1 R2 R3 x1) with a wrong byte
//   --silent STEP       do not answer STEP
//   --no-access         the device node is not accessible (as before udev applies the rule;
//                       root opens it all the same)
//   --plug-after MS     plug the board in this long after the command started
//   --memory-out FILE   write what the board received to FILE when the command ends
//   --wire-out FILE     write every byte the host sent to FILE when the command ends
//
// Ends with the command's exit code (128 + signal when it was killed), 64 for bad options,
// 77 when umockdev-wrapper is missing.

#include "EmulatedUsbBoard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
bool WriteFile(const std::string& strPath, const std::vector<uint8_t>& bytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

int Usage(const char* pszProgram)
{
    std::fprintf(stderr,
                 "usage: umockdev-wrapper %s [--banner TEXT] [--packet 64|512] "
                 "[--wrong-reply STEP] [--silent STEP] [--no-access] [--plug-after MS] "
                 "[--memory-out FILE] [--wire-out FILE] -- COMMAND [ARG]...\n",
                 pszProgram);
    return 64;
}
} // namespace

int main(int argc, char** argv)
{
    if (!RunningUnderUmockdev(argc, argv))
    {
        std::fprintf(stderr, "%s: umockdev-wrapper is missing (apt-get install umockdev)\n",
                     argv[0]);
        return 77;
    }
    CEmulatedBoardSetup setup;
    std::string strMemoryOut;
    std::string strWireOut;
    bool bNoAccess = false;
    int nPlugAfterMs = 0;
    int nCommand = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::string strOption = argv[i];
        const bool bHasValue = i + 1 < argc;
        if (strOption == "--")
        {
            nCommand = i + 1;
            break;
        }
        if (strOption == "--no-access")
        {
            bNoAccess = true;
            continue;
        }
        if (!bHasValue)
        {
            return Usage(argv[0]);
        }
        const std::string strValue = argv[++i];
        if (strOption == "--banner" && strValue.size() <= VERSION_REPLY_SIZE)
        {
            setup.m_settings.m_strBanner = strValue;
        }
        else if (strOption == "--packet" && (strValue == "64" || strValue == "512"))
        {
            setup.m_nMaxPacket = static_cast<uint16_t>(std::stoi(strValue));
        }
        else if (strOption == "--wrong-reply" && Bootloader::ParseStep(strValue))
        {
            setup.m_settings.m_faults.m_wrongReplyStep = Bootloader::ParseStep(strValue);
        }
        else if (strOption == "--silent" && Bootloader::ParseStep(strValue))
        {
            setup.m_settings.m_faults.m_silentStep = Bootloader::ParseStep(strValue);
        }
        else if (strOption == "--plug-after" && !strValue.empty() &&
                 strValue.find_first_not_of("0123456789") == std::string::npos &&
                 strValue.size() < 7)
        {
            nPlugAfterMs = std::stoi(strValue);
        }
        else if (strOption == "--memory-out")
        {
            strMemoryOut = strValue;
        }
        else if (strOption == "--wire-out")
        {
            strWireOut = strValue;
        }
        else
        {
            return Usage(argv[0]);
        }
    }
    if (nCommand == 0 || nCommand >= argc)
    {
        return Usage(argv[0]);
    }

    CUsbTestbed testbed;
    CEmulatedUsbBoard board(testbed, setup);

    auto plug = [&]
    {
        board.Plug();
        if (bNoAccess)
        {
            board.SetNodeMode(0);
        }
    };
    if (nPlugAfterMs == 0)
    {
        plug();
    }
    const pid_t nChild = fork();
    if (nChild < 0)
    {
        std::perror("fork");
        return 71;
    }
    if (nChild == 0)
    {
        execvp(argv[nCommand], argv + nCommand);
        std::fprintf(stderr, "%s: cannot run %s: %s\n", argv[0], argv[nCommand],
                     std::strerror(errno));
        _exit(127);
    }
    if (nPlugAfterMs > 0)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(nPlugAfterMs));
        plug();
    }
    int nStatus = 0;
    while (waitpid(nChild, &nStatus, 0) < 0 && errno == EINTR)
    {
    }
    if ((!strMemoryOut.empty() && !WriteFile(strMemoryOut, board.Memory())) ||
        (!strWireOut.empty() && !WriteFile(strWireOut, board.HostBytes())))
    {
        std::fprintf(stderr, "%s: cannot write the board's record\n", argv[0]);
        return 74;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}
