#include "support/HostileBoard.h"

#include "usb/virtual/VirtualRegistry.h"

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

CHostileBoard::CHostileBoard(const std::string& strDirectory, EMode eMode)
{
    ::mkdir(strDirectory.substr(0, strDirectory.rfind('/')).c_str(), 0700);
    ::mkdir(strDirectory.c_str(), 0700);
    for (const char* pszName : {BOARD_READ_SOCKET, BOARD_WRITE_SOCKET})
    {
        const std::string strSocket = strDirectory + "/" + pszName;
        const int nListen = ListenBoardSocket(strSocket);
        if (nListen < 0)
        {
            continue;
        }
        if (eMode == EMode::Dead)
        {
            ::close(nListen);
            continue;
        }
        m_listeners.push_back(nListen);
        if (eMode == EMode::FullBacklog)
        {
            FillBacklog(nListen, strSocket);
        }
    }
    if (eMode == EMode::Mute)
    {
        // A process of its own, not a thread: the tests fork to run a command that may never
        // end, and a fork beside a running thread can leave the child waiting on its locks.
        m_nServer = ::fork();
        if (m_nServer == 0)
        {
            Serve();
        }
    }
}

CHostileBoard::~CHostileBoard()
{
    if (m_nServer > 0)
    {
        ::kill(m_nServer, SIGKILL);
        ::waitpid(m_nServer, nullptr, 0);
    }
    for (int nFd : m_listeners)
    {
        ::close(nFd);
    }
    for (int nFd : m_clients)
    {
        ::close(nFd);
    }
}

void CHostileBoard::FillBacklog(int nListen, const std::string& strSocket)
{
    ::listen(nListen, 0);
    for (int n = 0; n < 64; ++n)
    {
        const int nClient = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, strSocket.c_str(), sizeof(address.sun_path) - 1);
        if (::connect(nClient, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        {
            ::close(nClient);
            return; // EAGAIN: the backlog is full
        }
        m_clients.push_back(nClient);
    }
}

void CHostileBoard::Serve()
{
    std::vector<pollfd> waits;
    for (int nFd : m_listeners)
    {
        waits.push_back({nFd, POLLIN, 0});
    }
    char buffer[4096];
    for (;;)
    {
        if (::poll(waits.data(), waits.size(), -1) <= 0)
        {
            continue;
        }
        for (size_t i = 0; i < waits.size(); ++i)
        {
            if ((waits[i].revents & POLLIN) == 0)
            {
                continue;
            }
            if (i < m_listeners.size())
            {
                const int nClient = ::accept4(waits[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (nClient >= 0)
                {
                    m_clients.push_back(nClient);
                    waits.push_back({nClient, POLLIN, 0});
                }
            }
            else if (::read(waits[i].fd, buffer, sizeof buffer) <= 0)
            {
                waits[i].fd = -1;
            }
        }
    }
}
