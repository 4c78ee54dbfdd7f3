#pragma once
// The pipe-layer backend for virtual boards: boards listed in the registry directory, whose
// pipes are Unix stream sockets.

#include "usb/PipeLayer.h"

#include <cstdint>

class CVirtualBoardBackend : public IPipeBackend
{
public:
    std::vector<CInterfaceEntry> ListInterfaces() override;
    bool OwnsPipeName(const std::string& strPipeName) const override;
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override;
};

// POSIX: how many bytes one write to a board's socket hands the kernel, after the board took
// dTaken bytes of the block in dSeconds: what it takes, at that pace, in an eighth of the
// time-out (nTimeoutMs, 0 for none), between 8 KiB and nMost. The kernel frees a queued piece
// only once the board has read all of it, so a slow board must get small pieces to be seen
// taking bytes within the time-out, and a board that keeps up gets large ones.
uint32_t SocketWritePiece(double dTaken, double dSeconds, uint32_t nTimeoutMs, uint32_t nMost);
