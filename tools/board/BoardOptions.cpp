#include "board/BoardOptions.h"

#include "usb/libusb/UsbBoardIds.h"

#include <cerrno>
#include <cstdlib>
#include <functional>

namespace
{
bool ParseNumber(const std::string& strText, uint64_t nMax, uint64_t* pnValue)
{
    if (strText.empty() || strText.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    errno = 0;
    const unsigned long long nValue = std::strtoull(strText.c_str(), nullptr, 10);
    if (errno != 0 || nValue > nMax)
    {
        return false;
    }
    *pnValue = nValue;
    return true;
}

bool ParseByte(const std::string& strText, uint8_t* pnByte)
{
    if (strText.size() != 2 ||
        strText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    {
        return false;
    }
    *pnByte = static_cast<uint8_t>(std::strtoul(strText.c_str(), nullptr, 16));
    return true;
}

bool ValidBoardName(const std::string& strName)
{
    return !strName.empty() && strName.front() != '.' && strName.find('/') == std::string::npos &&
           strName.size() <= 200;
}

using FnBoardOption = std::function<bool(const std::string&, CBoardConfig*)>;

struct CBoardOption
{
    const char* m_pszName;
    bool m_bTakesValue;
    FnBoardOption m_fnApply;
    const char* m_pszValues = nullptr; // what a refused value should have been, if not obvious
};

const std::vector<CBoardOption>& BoardOptionTable()
{
    using Bootloader::ParseStep;
    static const std::vector<CBoardOption> table = {
        {"--banner", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             pBoard->m_settings.m_strBanner = strValue;
             return strValue.size() <= VERSION_REPLY_SIZE;
         }},
        {"--memory", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             pBoard->m_strMemoryFile = strValue;
             return !strValue.empty();
         }},
        {"--max-image", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         { return ParseNumber(strValue, UINT32_MAX, &pBoard->m_settings.m_nMaxImage); }},
        {"--wrong-reply", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             Bootloader::CFaults& faults = pBoard->m_settings.m_faults;
             const size_t nColon = strValue.find(':');
             faults.m_wrongReplyStep = ParseStep(strValue.substr(0, nColon));
             faults.m_nWrongReply.reset();
             if (nColon != std::string::npos)
             {
                 uint8_t nByte = 0;
                 if (!ParseByte(strValue.substr(nColon + 1), &nByte))
                 {
                     return false;
                 }
                 faults.m_nWrongReply = nByte;
             }
             return faults.m_wrongReplyStep.has_value() &&
                    *faults.m_wrongReplyStep != Bootloader::EStep::Version;
         },
         "STEP[:HH], STEP one of s1 s2 s3 R1 R2 R3 x1 and HH two hex digits (the version reply "
         "v1 has no reply byte: change it with --banner)"},
        {"--no-reply", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             pBoard->m_settings.m_faults.m_silentStep = ParseStep(strValue);
             return pBoard->m_settings.m_faults.m_silentStep.has_value();
         },
         "STEP, one of s1 s2 s3 R1 R2 R3 x1 v1"},
        {"--split-version", false,
         [](const std::string&, CBoardConfig* pBoard)
         { return pBoard->m_settings.m_faults.m_bSplitVersion = true; }},
        {"--short-receive", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             uint64_t nValue = 0;
             const bool bOk = ParseNumber(strValue, UINT32_MAX, &nValue);
             pBoard->m_settings.m_faults.m_nShortReceive = static_cast<uint32_t>(nValue);
             return bOk;
         }},
        {"--unplug-after", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             uint64_t nValue = 0;
             const bool bOk = ParseNumber(strValue, UINT64_MAX, &nValue);
             pBoard->m_settings.m_faults.m_nUnplugAfter = nValue;
             return bOk;
         }},
        {"--rate", true,
         [](const std::string& strValue, CBoardConfig* pBoard) {
             return ParseNumber(strValue, UINT64_MAX,
                                &pBoard->m_settings.m_faults.m_nBytesPerSecond);
         }},
        {"--reply-delay", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             uint64_t nValue = 0;
             const bool bOk = ParseNumber(strValue, 3600000, &nValue);
             pBoard->m_settings.m_faults.m_nReplyDelayMs = static_cast<uint32_t>(nValue);
             return bOk;
         }},
        {"--idle-timeout", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             uint64_t nValue = 0;
             const bool bOk = ParseNumber(strValue, 3600000, &nValue);
             pBoard->m_nIdleTimeoutMs = static_cast<uint32_t>(nValue);
             return bOk;
         }},
        {"--no-pipe00", false,
         [](const std::string&, CBoardConfig* pBoard) { return pBoard->m_bNoPipe00 = true; }},
        {"--stall", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             pBoard->m_settings.m_faults.m_stallStep = ParseStep(strValue);
             return pBoard->m_settings.m_faults.m_stallStep.has_value();
         }},
        {"--usb-id", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             std::vector<CUsbBoardId> ids;
             std::string strIgnored;
             const bool bOk = ParseUsbBoardIds(strValue, &ids, &strIgnored) && ids.size() == 1;
             pBoard->m_gadget.m_id = bOk ? ids.front() : CUsbBoardId{};
             return bOk;
         }},
        {"--leave-on-execute", true,
         [](const std::string& strValue, CBoardConfig* pBoard)
         {
             uint64_t nValue = 0;
             const bool bOk = ParseNumber(strValue, 3600000, &nValue);
             pBoard->m_gadget.m_nLeaveOnExecuteMs = static_cast<uint32_t>(nValue);
             return bOk;
         }},
    };
    return table;
}
} // namespace

bool ParseBoardOptions(const std::vector<std::string>& arguments, CBoardOptions* pOptions,
                       std::string* pstrError)
{
    *pOptions = CBoardOptions();
    CBoardConfig defaults;
    CBoardConfig* pTarget = &defaults;
    bool bBoardsNamed = false;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& strOption = arguments[i];
        auto value = [&](std::string* pstrValue)
        {
            if (i + 1 >= arguments.size())
            {
                *pstrError = strOption + " needs a value (see --help)";
                return false;
            }
            *pstrValue = arguments[++i];
            return true;
        };
        std::string strValue;
        if (strOption == "-h" || strOption == "--help")
        {
            pOptions->m_bHelp = true;
            return true;
        }
        if (strOption == "--registry" || strOption == "--save-dir" || strOption == "--log")
        {
            if (!value(&strValue))
            {
                return false;
            }
            if (strValue.empty())
            {
                *pstrError = strOption + " needs a non-empty value";
                return false;
            }
            std::string& strTarget = strOption == "--registry"   ? pOptions->m_strRegistry
                                     : strOption == "--save-dir" ? pOptions->m_strSaveDir
                                                                 : pOptions->m_strLogFile;
            strTarget = strValue;
            continue;
        }
        if (strOption == "--log-limit")
        {
            if (!value(&strValue))
            {
                return false;
            }
            if (!ParseNumber(strValue, UINT64_MAX, &pOptions->m_nLogLimit))
            {
                *pstrError = "bad value \"" + strValue + "\" for " + strOption + " (see --help)";
                return false;
            }
            continue;
        }
        if (strOption == "--board")
        {
            if (!value(&strValue))
            {
                return false;
            }
            CBoardConfig board = defaults;
            const size_t nEquals = strValue.find('=');
            board.m_strName = strValue.substr(0, nEquals);
            if (nEquals != std::string::npos)
            {
                board.m_strDescription = strValue.substr(nEquals + 1);
            }
            if (!ValidBoardName(board.m_strName))
            {
                *pstrError = "bad board name \"" + board.m_strName +
                             "\": it must not be empty, begin with '.' or hold '/'";
                return false;
            }
            for (const CBoardConfig& other : pOptions->m_boards)
            {
                if (other.m_strName == board.m_strName)
                {
                    *pstrError = "board \"" + board.m_strName + "\" is named twice";
                    return false;
                }
            }
            pOptions->m_boards.push_back(std::move(board));
            pTarget = &pOptions->m_boards.back();
            bBoardsNamed = true;
            continue;
        }
        if (strOption == "--usb-gadget")
        {
            // The controller's name is optional: the next word is taken when it is no option.
            pTarget->m_gadget.m_bEnabled = true;
            pTarget->m_gadget.m_strUdc.clear();
            if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("-"))
            {
                pTarget->m_gadget.m_strUdc = arguments[++i];
            }
            continue;
        }
        bool bKnown = false;
        for (const CBoardOption& option : BoardOptionTable())
        {
            if (strOption != option.m_pszName)
            {
                continue;
            }
            bKnown = true;
            if (option.m_bTakesValue && !value(&strValue))
            {
                return false;
            }
            if (!option.m_fnApply(strValue, pTarget))
            {
                *pstrError =
                    "bad value \"" + strValue + "\" for " + strOption +
                    (option.m_pszValues != nullptr ? std::string(": it takes ") + option.m_pszValues
                                                   : std::string(" (see --help)"));
                return false;
            }
            break;
        }
        if (!bKnown)
        {
            *pstrError = "unknown option \"" + strOption + "\" (see --help)";
            return false;
        }
    }
    if (!bBoardsNamed)
    {
        pOptions->m_boards.push_back(defaults);
    }
    for (const CBoardConfig& board : pOptions->m_boards)
    {
        const CGadgetConfig& gadget = board.m_gadget;
        if (!gadget.m_bEnabled &&
            (board.m_settings.m_faults.m_stallStep || gadget.m_nLeaveOnExecuteMs ||
             gadget.m_id != CGadgetConfig().m_id))
        {
            *pstrError = "board \"" + board.m_strName +
                         "\": --stall, --usb-id and --leave-on-execute go with --usb-gadget";
            return false;
        }
    }
    return true;
}

const char* BoardUsage()
{
    return R"USAGE(Usage: quillon-board [OPTION]... [--board NAME[=DESCRIPTION] [BOARD OPTION]...]...

A virtual Plinth board: serves the bootloader protocol on a board directory in the
virtual-board registry, where Quillon lists it like a board on USB. Runs until SIGINT or
SIGTERM, then detaches (its directory is removed). Prints "attached NAME PATH" for each
board once it is listed.

Options:
  -h, --help               show this help and exit
  --registry DIR           the registry directory (default: $QUILLON_BOARD_DIR, else
                           $XDG_RUNTIME_DIR/quillon/boards, else /tmp/quillon-<uid>/boards)
  --board NAME[=DESC]      add a board (repeatable; default one board "plinth0",
                           described as "Plinth board (virtual)")
  --save-dir DIR           write each received image to DIR/NAME.bin (replaced whole);
                           DIR is created when missing
  --log FILE               append every session's bytes to FILE in hex (one line a read or
                           write: "NAME rx HEX" host to board, "NAME tx HEX" board to host,
                           and "NAME session PID", "NAME end", "NAME refused PID",
                           "NAME note TEXT", "NAME attached PATH", "NAME detached")
  --log-limit BYTES        append at most BYTES to the log in this run, then one
                           "log truncated" line (default 67108864; 0: no limit)

Board options (before the first --board: every board; after a --board: that board):
  --banner TEXT            version banner, at most 14 bytes (default "Plinth BL 2.1")
  --memory FILE            what 'R' returns until the first send, then zeros (a regular
                           file of at most 4294967295 bytes); after a send, 'R' returns
                           the image last sent, then zeros
  --max-image BYTES        refuse longer sends at their length (default 1073741824)
  --idle-timeout MS        drop a host that holds the board's pipes (both or one) and
                           moves no byte for MS milliseconds, so that it cannot keep other
                           hosts away (default 5000; 0: never)

Faults, for tests. STEP is one of s1 s2 s3 (the replies to 's', its length, its data),
R1 R2 R3 (to 'R', its length, after its data), x1 (to 'x') and v1 (the version reply):
  --wrong-reply STEP[:HH]  answer STEP with byte HH (hex; default the other of '>' '#');
                           not v1, which has no reply byte (--banner changes it)
  --no-reply STEP          send nothing from STEP to the end of that command
  --split-version          send the version reply as 10 bytes, a 50 ms pause, 4 bytes
  --short-receive N        'R' hands out N bytes fewer than asked, and no '#'
  --unplug-after N         detach after N data bytes (either direction) have moved
  --rate BYTES_PER_SECOND  cap the data phases (of a send and of an 'R')
  --reply-delay MS         wait before every reply
  --no-pipe00              list the board without its PIPE00 socket

A board on USB (Linux, as root): the board is a USB device of this machine's USB device
controller (a Raspberry Pi in device mode, a BeagleBone, or the kernel's dummy_hcd) that any
computer it is plugged into sees as a Plinth board; made with configfs and FunctionFS (the
modules libcomposite and usb_f_fs), removed again on SIGINT or SIGTERM:
  --usb-gadget [UDC]       serve the board on USB through the device controller UDC (a name
                           in /sys/class/udc; default the first one no gadget uses)
  --usb-id VVVV:PPPP       its vendor and product id in hexadecimal (default 1209:5150)
  --leave-on-execute MS    leave the bus once the execute is answered, as a board that starts
                           its program does, and come back as a bootloader after MS
                           milliseconds (0: never; the board then detaches)
  --stall STEP             stall the pipe the host reads at STEP instead of answering

Exit codes:
   0  the boards were detached after SIGINT or SIGTERM, or every board was unplugged
   1  a board could not be attached or served, or the log could not be opened
   2  a malformed option, or the save directory cannot be made
)USAGE";
}
