// Another process that tries a board's lock, as a second Quillon run would:
//
//   quillon-lock-probe PATH [hold]
//
// Prints "held", "busy PID" or "failed: WHY" on one line. With "hold" it keeps a lock it got
// until its standard input closes. The lock tests start it fresh (fork and exec) rather than
// running a forked copy of themselves, which would inherit the locks their threads held.

#include "usb/BoardLock.h"
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBackend.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "hold") != 0))
    {
        std::fprintf(stderr, "usage: quillon-lock-probe PATH [hold]\n");
        return 64;
    }
    CUsbBackend backend;
    CPipeBackendOverride only({&backend});
    const CBoardLock lock = CBoardLock::TryLock(argv[1]);
    if (lock.IsHeld())
    {
        std::printf("held\n");
    }
    else if (lock.State() == EBoardLock::Busy)
    {
        std::printf("busy %d\n", static_cast<int>(lock.Holder()));
    }
    else
    {
        std::printf("failed: %s\n", lock.Error().c_str());
    }
    std::fflush(stdout);
    if (argc == 3)
    {
        char ch = 0;
        while (::read(STDIN_FILENO, &ch, 1) > 0)
        {
        }
    }
    return 0;
}
