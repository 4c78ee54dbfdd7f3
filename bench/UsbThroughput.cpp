// Throughput of SendData and ReceiveData through the USB backend (libusb) to an emulated board
// on a umockdev bus, at full-speed and high-speed packet sizes; or, with --bus, to the first
// board on the machine's real USB bus (a quillon-board --usb-gadget).
//
//   quillon-usb-bench [--sizes 102400,1048576,...] [--runs N]   (starts itself under
//   umockdev-wrapper)
//   quillon-usb-bench --bus [--sizes ...] [--runs N]
//
// Prints MB/s (10^6 bytes per second) for each packet size, block size and direction, the best
// of N runs. The emulated bus has no wire, so this is the host's own cost: libusb, the pipe and
// umockdev's forwarding of each request. bench/usb-throughput.sh runs it beside the
// virtual-board benchmark, and through a gadget on the Linux kernel's own USB stack.

#include "EmulatedUsbBoard.h"

#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBackend.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint32_t> ParseSizes(const std::string& strText)
{
    std::vector<uint32_t> sizes;
    std::stringstream stream(strText);
    for (std::string strItem; std::getline(stream, strItem, ',');)
    {
        const unsigned long nSize = std::strtoul(strItem.c_str(), nullptr, 10);
        if (nSize == 0 || nSize > 512ul * 1024 * 1024)
        {
            return {};
        }
        sizes.push_back(static_cast<uint32_t>(nSize));
    }
    return sizes;
}

// The best of nRuns sends and receives of each size; false when one failed or came back changed.
bool Measure(CUsbDevice& device, const std::string& strName, const std::vector<uint32_t>& sizes,
             int nRuns)
{
    bool bOk = true;
    for (uint32_t nSize : sizes)
    {
        std::vector<uint8_t> image(nSize);
        for (uint32_t i = 0; i < nSize; ++i)
        {
            image[i] = static_cast<uint8_t>(i * 13 + 7);
        }
        std::vector<uint8_t> back(nSize);
        double dSend = 0;
        double dReceive = 0;
        for (int nRun = 0; nRun < nRuns; ++nRun)
        {
            auto start = Clock::now();
            const bool bSent = device.SendData(image.data(), nSize);
            dSend = std::max(dSend, nSize / Seconds(start) / 1e6);
            start = Clock::now();
            const bool bReceived = device.ReceiveData(nSize, back.data());
            dReceive = std::max(dReceive, nSize / Seconds(start) / 1e6);
            if (!bSent || !bReceived || back != image)
            {
                std::fprintf(stderr, "transfer of %u bytes failed or came back changed\n", nSize);
                bOk = false;
            }
        }
        std::printf("%-22s %10u %12.1f %12.1f\n", strName.c_str(), nSize, dSend, dReceive);
    }
    return bOk;
}
} // namespace

int main(int argc, char** argv)
{
    const bool bBus = argc > 1 && std::strcmp(argv[1], "--bus") == 0;
    if (bBus)
    {
        --argc;
        ++argv;
    }
    else if (!RunningUnderUmockdev(argc, argv))
    {
        std::fprintf(stderr, "%s: umockdev-wrapper is missing (apt-get install umockdev)\n",
                     argv[0]);
        return 77;
    }
    std::vector<uint32_t> sizes = {102400, 1048576, 16777216};
    int nRuns = 3;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::strcmp(argv[i], "--sizes") == 0)
        {
            sizes = ParseSizes(argv[i + 1]);
        }
        else if (std::strcmp(argv[i], "--runs") == 0)
        {
            nRuns = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    if (sizes.empty() || argc % 2 == 0)
    {
        std::fprintf(stderr,
                     "usage: umockdev-wrapper %s [--sizes N,N,...] [--runs N]\n"
                     "       %s --bus [--sizes N,N,...] [--runs N]\n",
                     argv[0], argv[0]);
        return 64;
    }

    if (bBus)
    {
        std::printf("%-22s %10s %12s %12s\n", "board on the USB bus", "bytes", "send MB/s",
                    "receive MB/s");
        const CUsbDeviceList devices = EnumerateDevices();
        if (devices.empty())
        {
            std::fprintf(stderr, "no board on the USB bus\n");
            return 1;
        }
        CUsbDevice device(devices[0]);
        return Measure(device, devices[0].m_strDevicePath, sizes, nRuns) ? 0 : 1;
    }
    std::printf("%-22s %10s %12s %12s\n", "emulated USB board", "bytes", "send MB/s",
                "receive MB/s");
    int nResult = 0;
    for (uint16_t nPacket : {uint16_t{64}, uint16_t{512}})
    {
        CUsbTestbed testbed;
        CEmulatedBoardSetup setup;
        setup.m_nMaxPacket = nPacket;
        CEmulatedUsbBoard board(testbed, setup);
        board.Plug();
        CUsbBackend backend;
        CPipeBackendOverride use({&backend});
        const CUsbDeviceList devices = EnumerateDevices();
        if (devices.empty())
        {
            std::fprintf(stderr, "the emulated board was not found\n");
            return 1;
        }
        CUsbDevice device(devices[0]);
        const std::string strName = std::string(nPacket == 64 ? "full speed" : "high speed") +
                                    " (" + std::to_string(nPacket) + " B)";
        if (!Measure(device, strName, sizes, nRuns))
        {
            nResult = 1;
        }
    }
    return nResult;
}
