// What reading a file whole means on every system.

#include "app/FileOutput.h"

#include "ui/wizard/WizardRun.h"

#include <new>

bool MakeRoomForWholeFile(uint64_t nSize, std::vector<uint8_t>& data, std::string& strError)
{
    if (nSize > MAX_SEND_FILE_SIZE)
    {
        strError = "the file is 4 GiB or larger";
        return false;
    }
    if (nSize == 0)
    {
        strError = "the file is empty";
        return false;
    }
    try
    {
        data.resize(static_cast<size_t>(nSize));
    }
    catch (const std::bad_alloc&)
    {
        strError = "not enough memory to hold the file";
        return false;
    }
    return true;
}
