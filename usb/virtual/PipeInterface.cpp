#include "usb/virtual/PipeInterface.h"

#include "usb/UsbDevice.h"

#include <cctype>

namespace
{
bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
    {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
        {
            return false;
        }
    }
    return true;
}

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}
} // namespace

bool IsPipeInterfacePath(std::string_view path)
{
    const std::string_view prefix(PIPE_NAMESPACE);
    if (!StartsWithNoCase(path, prefix))
    {
        return false;
    }
    const std::string_view name = path.substr(prefix.size());
    if (name.empty() || name.size() + sizeof(WRITE_PIPE_SUFFIX) - 1 > MAX_PIPE_NAME)
    {
        return false;
    }
    size_t nStart = 0;
    while (nStart <= name.size())
    {
        const size_t nEnd = std::min(name.find('\\', nStart), name.size());
        const std::string_view component = name.substr(nStart, nEnd - nStart);
        if (component.empty() || component == "." || component == "..")
        {
            return false;
        }
        for (const char c : component)
        {
            if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == 0x7F)
            {
                return false;
            }
        }
        nStart = nEnd + 1;
    }
    return true;
}

bool IsPipeInterfacePipeName(std::string_view pipeName)
{
    for (const std::string_view suffix : {READ_PIPE_SUFFIX, WRITE_PIPE_SUFFIX})
    {
        if (EndsWith(pipeName, suffix))
        {
            return IsPipeInterfacePath(pipeName.substr(0, pipeName.size() - suffix.size()));
        }
    }
    return false;
}

std::string PipeInterfaceFromText(std::string_view text)
{
    std::string_view line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
    {
        line.remove_suffix(1);
    }
    return IsPipeInterfacePath(line) ? std::string(line) : std::string();
}

std::string BoardPipeInterface(unsigned long nProcessId, const std::string& strBoardName)
{
    return std::string(PIPE_NAMESPACE) + "quillon\\boards\\" + std::to_string(nProcessId) + "\\" +
           strBoardName;
}
