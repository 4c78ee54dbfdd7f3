// The backends of the Windows build: none of its own yet, so it lists no boards.
#include "usb/PipeLayer.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    return {};
}
