// The backends of the Windows build: virtual boards over named pipes.
#include "usb/PipeLayer.h"
#include "usb/VirtualBoardBackend.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CVirtualBoardBackend virtualBoards;
    return {&virtualBoards};
}
