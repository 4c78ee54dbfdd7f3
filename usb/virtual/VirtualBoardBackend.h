#pragma once
// The pipe-layer backend for virtual boards: boards listed in the registry directory, whose
// pipes are Unix stream sockets.

#include "usb/PipeLayer.h"

class CVirtualBoardBackend : public IPipeBackend
{
public:
    std::vector<CInterfaceEntry> ListInterfaces() override;
    bool OwnsPipeName(const std::string& strPipeName) const override;
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override;
};
