#pragma once
// The event loop of quillon-board, one per platform: it attaches every board of the options to
// the registry, serves them until a stop signal or until all were unplugged, and detaches them.

#include "board/BoardOptions.h"
#include "board/BootloaderCore.h"
#include "board/WireLog.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The process's exit code: 0 after a stop or when every board was unplugged, 1 when a board
// could not be attached or the loop failed (the reason is on stderr).
int ServeBoards(CBoardOptions& options, const std::string& strRegistry, CWireLog* pLog);

// One turn of a loop's preparation: fnAdd(board) for every attached board, so that the loop
// waits on what it needs, and the earliest deadline among them in *pDeadline. Returns how many
// boards are attached.
template <typename TBoard, typename FnAdd>
size_t CollectAttachedBoards(const std::vector<std::unique_ptr<TBoard>>& boards, FnAdd fnAdd,
                             std::optional<Bootloader::Clock::time_point>* pDeadline)
{
    pDeadline->reset();
    size_t nAttached = 0;
    for (const auto& pBoard : boards)
    {
        if (!pBoard->IsAttached())
        {
            continue;
        }
        ++nAttached;
        fnAdd(*pBoard);
        const auto boardDeadline = pBoard->NextDeadline();
        if (boardDeadline && (!*pDeadline || *boardDeadline < **pDeadline))
        {
            *pDeadline = boardDeadline;
        }
    }
    return nAttached;
}

// Makes the board of each configuration with fnMake(config) and attaches it, printing
// "attached NAME PATH" for each; false when one cannot be attached or the log cannot be written
// (the reason is on stderr, and the boards attached so far detach as they are destroyed).
template <typename TBoard, typename FnMake>
bool AttachBoardsMadeBy(CBoardOptions& options, CWireLog* pLog, FnMake fnMake,
                        std::vector<std::unique_ptr<TBoard>>* pBoards)
{
    for (CBoardConfig& config : options.m_boards)
    {
        std::unique_ptr<TBoard> pBoard = fnMake(std::move(config));
        std::string strError;
        if (!pBoard->Attach(&strError))
        {
            std::fprintf(stderr, "quillon-board: %s: %s\n", pBoard->Name().c_str(),
                         strError.c_str());
            return false;
        }
        // A log that takes nothing (/dev/full, a full disk) is found out by its first line.
        if (pLog != nullptr && pLog->FailedWith() != 0)
        {
            std::fprintf(stderr, "quillon-board: cannot write the log: %s\n",
                         std::strerror(pLog->FailedWith()));
            return false;
        }
        std::printf("attached %s %s\n", pBoard->Name().c_str(), pBoard->Path().c_str());
        std::fflush(stdout);
        pBoards->push_back(std::move(pBoard));
    }
    if (pLog != nullptr)
    {
        pLog->SayFailures();
    }
    return true;
}

// The same with a board of type TBoard for every configuration.
template <typename TBoard>
bool AttachBoards(CBoardOptions& options, const std::string& strRegistry, CWireLog* pLog,
                  std::vector<std::unique_ptr<TBoard>>* pBoards)
{
    return AttachBoardsMadeBy(
        options, pLog,
        [&](CBoardConfig config) {
            return std::make_unique<TBoard>(std::move(config), strRegistry, options.m_strSaveDir,
                                            pLog);
        },
        pBoards);
}
