// The backends of the Windows build: boards on the board's own driver first, then virtual
// boards over named pipes.
#include "usb/DriverBackend.h"
#include "usb/PipeLayer.h"
#include "usb/VirtualBoardBackend.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CDriverBackend driverBoards;
    static CVirtualBoardBackend virtualBoards;
    return {&driverBoards, &virtualBoards};
}
