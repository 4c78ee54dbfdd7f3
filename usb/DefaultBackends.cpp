// The backends of a build without a USB library: virtual boards only.
#include "usb/PipeLayer.h"
#include "usb/VirtualBoardBackend.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CVirtualBoardBackend virtualBoards;
    return {&virtualBoards};
}
