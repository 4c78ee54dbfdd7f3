#pragma once
// A board served by the POSIX event loop, whatever carries its bytes (Unix sockets, a USB
// gadget): it names the descriptors it waits on and handles what they report.

#include "board/BoardSession.h"

#include <memory>
#include <poll.h>
#include <string>
#include <vector>

class CPolledBoard : public CBoardSession
{
public:
    using CBoardSession::CBoardSession;

    // Makes the board visible to hosts. False with a reason in *pstrError.
    virtual bool Attach(std::string* pstrError) = 0;
    virtual bool IsAttached() const = 0;
    // Where the board is, as "attached NAME PATH" shows it.
    virtual const std::string& Path() const = 0;

    // Adds what this board waits for to fds; Handle then gets the same entries back.
    virtual void AddPollFds(std::vector<pollfd>& fds) = 0;
    virtual void Handle(const pollfd* pFds, size_t nCount) = 0;
};

// The board of one --board of the options, on the transport it asks for.
std::unique_ptr<CPolledBoard> MakeSocketBoard(CBoardConfig config, std::string strRegistry,
                                              std::string strSaveDir, CWireLog* pLog);
std::unique_ptr<CPolledBoard> MakeGadgetBoard(CBoardConfig config, std::string strSaveDir,
                                              CWireLog* pLog);
