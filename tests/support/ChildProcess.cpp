#include "support/ChildProcess.h"

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

std::string RunInChild(const std::function<std::string()>& fnChild, std::chrono::seconds limit)
{
    int fds[2];
    if (::pipe(fds) != 0)
    {
        return "no pipe";
    }
    const pid_t nChild = ::fork();
    if (nChild == 0)
    {
        ::close(fds[0]);
        const std::string strFailure = fnChild();
        [[maybe_unused]] const ssize_t nWritten =
            ::write(fds[1], strFailure.data(), strFailure.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string strFailure;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry = {fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0)
        {
            ::kill(nChild, SIGKILL);
            strFailure += "the child did not end within " + std::to_string(limit.count()) + " s";
            break;
        }
        char buffer[256];
        const ssize_t nRead = ::read(fds[0], buffer, sizeof buffer);
        if (nRead <= 0)
        {
            break;
        }
        strFailure.append(buffer, static_cast<size_t>(nRead));
    }
    ::close(fds[0]);
    ::waitpid(nChild, nullptr, 0);
    return strFailure;
}
