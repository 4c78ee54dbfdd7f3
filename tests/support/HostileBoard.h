#pragma once
// Boards that do not play along, as small listeners on a board directory's two sockets, for
// tests of what the host does when connecting or waiting never ends by itself.

#include <string>
#include <sys/types.h>
#include <vector>

class CHostileBoard
{
public:
    enum class EMode
    {
        FullBacklog, // never accepts, and no connection fits any more
        Mute,        // accepts, reads everything, answers nothing
        Dead,        // the sockets are there, nobody listens: a killed board program's leftover
    };

    // Makes strDirectory (and its parent registry, mode 0700) and both sockets in it.
    CHostileBoard(const std::string& strDirectory, EMode eMode);
    ~CHostileBoard();
    CHostileBoard(const CHostileBoard&) = delete;
    CHostileBoard& operator=(const CHostileBoard&) = delete;

private:
    void FillBacklog(int nListen, const std::string& strSocket);
    [[noreturn]] void Serve(); // until killed

    std::vector<int> m_listeners;
    std::vector<int> m_clients;
    pid_t m_nServer = -1; // Mute: the process that accepts and reads
};
