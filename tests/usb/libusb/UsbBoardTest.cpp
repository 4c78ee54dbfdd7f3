// The USB backend through the real libusb code, against an emulated board on a umockdev bus.

#include "EmulatedUsbBoard.h"

#include "usb/BoardLock.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBoardIds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <numeric>
#include <optional>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace
{
Bytes Pattern(size_t nSize)
{
    Bytes bytes(nSize);
    for (size_t i = 0; i < nSize; ++i)
    {
        bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

Bytes LittleEndian(uint32_t nValue)
{
    return {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8),
            static_cast<uint8_t>(nValue >> 16), static_cast<uint8_t>(nValue >> 24)};
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

bool WaitFor(const std::function<bool()>& fnDone, std::chrono::milliseconds limit = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!fnDone())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<std::string> Paths(const std::vector<CInterfaceEntry>& entries)
{
    std::vector<std::string> paths;
    for (const CInterfaceEntry& entry : entries)
    {
        paths.push_back(entry.m_strPath);
    }
    return paths;
}

// A bus with the given boards plugged in before libusb starts, and the USB backend as the only
// backend of the pipe layer.
class UsbBoardTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_pOverride.reset();
        m_pBackend.reset();
        m_boards.clear();
        SetPipeTimeoutMs(DEFAULT_PIPE_TIMEOUT_MS);
        SetDeviceChangeCallback(nullptr);
    }

    CEmulatedUsbBoard& AddBoard(CEmulatedBoardSetup setup = {})
    {
        m_boards.push_back(std::make_unique<CEmulatedUsbBoard>(m_testbed, std::move(setup)));
        return *m_boards.back();
    }

    void StartBackend()
    {
        m_pBackend = std::make_unique<CUsbBackend>();
        m_pOverride =
            std::make_unique<CPipeBackendOverride>(std::vector<IPipeBackend*>{m_pBackend.get()});
    }

    CEmulatedUsbBoard& StartWithBoard(CEmulatedBoardSetup setup = {})
    {
        CEmulatedUsbBoard& board = AddBoard(std::move(setup));
        board.Plug();
        StartBackend();
        return board;
    }

    CUsbTestbed m_testbed;
    std::vector<std::unique_ptr<CEmulatedUsbBoard>> m_boards;
    std::unique_ptr<CUsbBackend> m_pBackend;
    std::unique_ptr<CPipeBackendOverride> m_pOverride;
};

TEST_F(UsbBoardTest, ListsBoardsByIdOrOsDescriptorsWithTheirDescriptions)
{
    struct CCase
    {
        const char* m_pszName;
        uint16_t m_nVendor;
        uint16_t m_nProduct;
        bool m_bMsOs20;
        const char* m_pszManufacturer;
        const char* m_pszProduct;
        const char* m_pszEnvIds;               // QUILLON_USB_IDS, or nullptr
        std::optional<std::string> m_expected; // nullopt: not a board
    };
    const CCase cases[] = {
        {"default id", 0x1209, 0x5150, false, "Corvane", "Plinth Bootloader", nullptr,
         "Plinth Bootloader (Corvane)"},
        {"no manufacturer", 0x1209, 0x5151, false, "", "Plinth Bootloader", nullptr,
         "Plinth Bootloader"},
        {"no strings", 0x1209, 0x5150, false, "", "", nullptr, "USB board 1209:5150 at 1-2"},
        {"unknown id", 0x0483, 0xdf11, false, "ST", "DFU", nullptr, std::nullopt},
        {"id from environment", 0x0483, 0xdf11, false, "ST", "Bootloader", "0483:DF11",
         "Bootloader (ST)"},
        {"class from OS descriptors", 0x0483, 0x1234, true, "ST", "Plinth", nullptr, "Plinth (ST)"},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        if (c.m_pszEnvIds != nullptr)
        {
            setenv(USB_IDS_ENVIRONMENT, c.m_pszEnvIds, 1);
        }
        CEmulatedBoardSetup setup;
        setup.m_nVendor = c.m_nVendor;
        setup.m_nProduct = c.m_nProduct;
        setup.m_bMsOs20 = c.m_bMsOs20;
        setup.m_strManufacturer = c.m_pszManufacturer;
        setup.m_strProduct = c.m_pszProduct;
        CEmulatedUsbBoard board(m_testbed, setup);
        board.Plug();
        CUsbBackend backend;
        const std::vector<CInterfaceEntry> entries = backend.ListInterfaces();
        unsetenv(USB_IDS_ENVIRONMENT);
        if (!c.m_expected)
        {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].m_bPathOk);
        EXPECT_EQ(entries[0].m_strPath, "usb:1-2");
        EXPECT_TRUE(entries[0].m_bDescriptionOk);
        EXPECT_EQ(entries[0].m_strDescription, *c.m_expected);
    }
}

TEST_F(UsbBoardTest, ListsSeveralBoardsInPortOrderAndOpensEachOne)
{
    CEmulatedBoardSetup later;
    later.m_nPort = 5;
    later.m_settings.m_strBanner = "Board five";
    CEmulatedBoardSetup earlier;
    earlier.m_nPort = 3;
    earlier.m_settings.m_strBanner = "Board three";
    AddBoard(later).Plug();
    AddBoard(earlier).Plug();
    StartBackend();

    const CUsbDeviceList devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].m_strDevicePath, "usb:1-3");
    EXPECT_EQ(devices[1].m_strDevicePath, "usb:1-5");
    EXPECT_EQ(CUsbDevice(devices[0]).GetVersion(), "Board three");
    EXPECT_EQ(CUsbDevice(devices[1]).GetVersion(), "Board five");
}

// Every command as bytes on the wire, at both packet sizes; block sizes that are not whole
// packets check that no byte the board sent in the same packet as the data is lost.
TEST_F(UsbBoardTest, CommandsPutTheirExactBytesOnTheWire)
{
    for (uint16_t nPacket : {uint16_t{64}, uint16_t{512}})
    {
        for (uint32_t nSize : {0u, 3u, 1000u, 1048576u + 700u})
        {
            SCOPED_TRACE("packet " + std::to_string(nPacket) + ", block " + std::to_string(nSize));
            CEmulatedBoardSetup setup;
            setup.m_nMaxPacket = nPacket;
            CEmulatedUsbBoard board(m_testbed, setup);
            board.Plug();
            CUsbBackend backend;
            CPipeBackendOverride use({&backend});
            CUsbDevice device(CUsbDeviceInfo("usb:1-2", "board"));
            const Bytes image = Pattern(nSize);

            ASSERT_TRUE(device.SendData(image.data(), nSize));
            EXPECT_EQ(board.HostBytes(), Concat({{'s'}, LittleEndian(nSize), image}));
            EXPECT_EQ(board.BoardBytes(), Bytes({'>', '>', '#'}));
            EXPECT_EQ(board.Memory(), image);

            board.ClearLogs();
            Bytes received(nSize + 1, 0xEE);
            ASSERT_TRUE(device.ReceiveData(nSize, received.data()));
            EXPECT_EQ(board.HostBytes(), Concat({{'R'}, LittleEndian(nSize)}));
            EXPECT_EQ(board.BoardBytes(), Concat({{'>', '>'}, image, {'#'}}));
            EXPECT_EQ(Bytes(received.begin(), received.begin() + nSize), image);
            EXPECT_EQ(received.back(), 0xEE);

            board.ClearLogs();
            EXPECT_EQ(device.GetVersion(), Bootloader::DEFAULT_BANNER);
            EXPECT_EQ(board.HostBytes(), Bytes({'v'}));

            board.ClearLogs();
            EXPECT_TRUE(device.Execute());
            EXPECT_EQ(board.HostBytes(), Bytes({'x'}));
            EXPECT_EQ(board.BoardBytes(), Bytes({'#'}));
        }
    }
}

TEST_F(UsbBoardTest, AWrongReplyStopsTheCommandThere)
{
    struct CCase
    {
        Bootloader::EStep m_step;
        Bytes m_hostBytes;
    };
    const CCase cases[] = {
        {Bootloader::EStep::SendCommand, {'s'}},
        {Bootloader::EStep::SendLength, {'s', 3, 0, 0, 0}},
        {Bootloader::EStep::Execute, {'x'}},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(Bootloader::StepName(c.m_step));
        CEmulatedBoardSetup setup;
        setup.m_settings.m_faults.m_wrongReplyStep = c.m_step;
        setup.m_settings.m_faults.m_nWrongReply = 'E';
        CEmulatedUsbBoard board(m_testbed, setup);
        board.Plug();
        CUsbBackend backend;
        CPipeBackendOverride use({&backend});
        CUsbDevice device(CUsbDeviceInfo("usb:1-2", "board"));
        const Bytes image = {1, 2, 3};
        const bool bOk = c.m_step == Bootloader::EStep::Execute ? device.Execute()
                                                                : device.SendData(image.data(), 3);
        EXPECT_FALSE(bOk);
        EXPECT_EQ(device.LastReply(), 'E');
        EXPECT_EQ(board.HostBytes(), c.m_hostBytes);
    }
}

TEST_F(UsbBoardTest, ASilentBoardEndsTheReadAfterTheTimeOut)
{
    CEmulatedBoardSetup setup;
    setup.m_settings.m_faults.m_silentStep = Bootloader::EStep::Version;
    StartWithBoard(setup);
    SetPipeTimeoutMs(300);

    CPipeHandle write = PipeLayer::OpenPipe(std::string("usb:1-2") + WRITE_PIPE_SUFFIX);
    CPipeHandle read = PipeLayer::OpenPipe(std::string("usb:1-2") + READ_PIPE_SUFFIX);
    ASSERT_TRUE(write.IsValid());
    ASSERT_TRUE(read.IsValid());
    const uint8_t nCommand = 'v';
    ASSERT_EQ(write.Get()->Write(&nCommand, 1, nullptr), 1u);
    uint8_t reply[VERSION_REPLY_SIZE];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read.Get()->Read(reply, sizeof(reply), nullptr), 0u);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(read.Get()->LastError(), ETIMEDOUT);
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 2000ms);

    // The pipes still work after a time-out: the next exchange goes through.
    EXPECT_EQ(write.Get()->Write(&nCommand, 1, nullptr), 1u);
    EXPECT_EQ(write.Get()->LastError(), 0);
}

// The pipe layer's stop ends a wait on a silent board at once, also without a time-out, and
// the attempts of one reply share one time-out.
TEST_F(UsbBoardTest, AStopEndsTheWaitOnASilentBoardAndAttemptsShareTheTimeOut)
{
    CEmulatedBoardSetup setup;
    setup.m_settings.m_faults.m_silentStep = Bootloader::EStep::Version;
    StartWithBoard(setup);
    PipeCancelFd();

    struct Case
    {
        const char* m_pszName;
        uint32_t m_nTimeoutMs;
        bool m_bStop;
        int m_nError;
        std::chrono::milliseconds m_atMost;
    };
    for (const Case& c : {Case{"stop without time-out", 0, true, ECANCELED, 1500ms},
                          Case{"stop with a long time-out", 60000, true, ECANCELED, 1500ms},
                          Case{"five attempts, one time-out", 300, false, ETIMEDOUT, 1200ms}})
    {
        SCOPED_TRACE(c.m_pszName);
        SetPipeTimeoutMs(c.m_nTimeoutMs);
        ClearPipeCancel();
        CUsbDevice device(CUsbDeviceInfo("usb:1-2", ""));
        std::thread stopper;
        if (c.m_bStop)
        {
            stopper = std::thread(
                []
                {
                    std::this_thread::sleep_for(200ms);
                    RaisePipeCancel();
                });
        }
        const auto start = std::chrono::steady_clock::now();
        const std::string strVersion = device.GetVersion();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (stopper.joinable())
        {
            stopper.join();
        }
        EXPECT_EQ(strVersion, "");
        EXPECT_EQ(device.LastError(), c.m_nError);
        EXPECT_LT(elapsed, c.m_atMost);
    }
    ClearPipeCancel();
}

TEST_F(UsbBoardTest, AStalledEndpointFailsOneReadAndIsClearedForTheNext)
{
    CEmulatedUsbBoard& board = StartWithBoard();
    CPipeHandle write = PipeLayer::OpenPipe(std::string("usb:1-2") + WRITE_PIPE_SUFFIX);
    CPipeHandle read = PipeLayer::OpenPipe(std::string("usb:1-2") + READ_PIPE_SUFFIX);
    ASSERT_TRUE(write.IsValid() && read.IsValid());
    const uint8_t nCommand = 'v';
    ASSERT_EQ(write.Get()->Write(&nCommand, 1, nullptr), 1u);
    board.HaltIn();
    char reply[VERSION_REPLY_SIZE + 1] = {};
    EXPECT_EQ(read.Get()->Read(reply, VERSION_REPLY_SIZE, nullptr), 0u);
    EXPECT_EQ(read.Get()->LastError(), EPIPE);
    // The reply the board still holds comes through once the halt is cleared.
    EXPECT_EQ(read.Get()->Read(reply, VERSION_REPLY_SIZE, nullptr), VERSION_REPLY_SIZE);
    EXPECT_STREQ(reply, Bootloader::DEFAULT_BANNER);
}

TEST_F(UsbBoardTest, UnplugDuringASendEndsItWithNoDevice)
{
    CEmulatedBoardSetup setup;
    setup.m_settings.m_faults.m_nUnplugAfter = 100000;
    CEmulatedUsbBoard& board = StartWithBoard(setup);
    SetPipeTimeoutMs(2000);

    CPipeHandle write = PipeLayer::OpenPipe(std::string("usb:1-2") + WRITE_PIPE_SUFFIX);
    CPipeHandle read = PipeLayer::OpenPipe(std::string("usb:1-2") + READ_PIPE_SUFFIX);
    ASSERT_TRUE(write.IsValid() && read.IsValid());
    const Bytes header = Concat({{'s'}, LittleEndian(300000)});
    uint8_t nReply = 0;
    ASSERT_EQ(write.Get()->Write(header.data(), 1, nullptr), 1u);
    ASSERT_EQ(read.Get()->Read(&nReply, 1, nullptr), 1u);
    ASSERT_EQ(write.Get()->Write(header.data() + 1, 4, nullptr), 4u);
    ASSERT_EQ(read.Get()->Read(&nReply, 1, nullptr), 1u);

    const Bytes image = Pattern(300000);
    const auto start = std::chrono::steady_clock::now();
    const uint32_t nWritten = write.Get()->Write(image.data(), 300000, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms); // no wait for the time-out
    EXPECT_LT(nWritten, 300000u);
    EXPECT_EQ(write.Get()->LastError(), ENODEV);
    EXPECT_TRUE(board.UnpluggedByFault());

    write.Close();
    read.Close();
    board.Unplug();
    EXPECT_TRUE(WaitFor([&] { return m_pBackend->ListInterfaces().empty(); }));
}

TEST_F(UsbBoardTest, HotplugReportsArrivalAndRemoval)
{
    CEmulatedUsbBoard& board = AddBoard();
    StartBackend();
    std::atomic<int> nChanges{0};
    SetDeviceChangeCallback([&] { ++nChanges; });
    EXPECT_TRUE(m_pBackend->ListInterfaces().empty());
    ASSERT_TRUE(m_pBackend->HotplugActive());

    board.Plug();
    ASSERT_TRUE(WaitFor([&] { return nChanges.load() >= 1; })) << "no arrival reported";
    EXPECT_EQ(Paths(m_pBackend->ListInterfaces()), std::vector<std::string>{"usb:1-2"});

    const int nBefore = nChanges.load();
    board.Unplug();
    ASSERT_TRUE(WaitFor([&] { return nChanges.load() > nBefore; })) << "no removal reported";
    EXPECT_TRUE(m_pBackend->ListInterfaces().empty());

    // Plugged in again it is a new device, and works.
    board.Plug();
    ASSERT_TRUE(WaitFor([&] { return !m_pBackend->ListInterfaces().empty(); }));
    EXPECT_EQ(CUsbDevice(CUsbDeviceInfo("usb:1-2", "board")).GetVersion(),
              Bootloader::DEFAULT_BANNER);
}

TEST_F(UsbBoardTest, PipesOfOneBoardShareOneClaimAndNameItsEndpoints)
{
    StartWithBoard();
    struct CCase
    {
        const char* m_pszName;
        int m_nError; // 0: opens
    };
    const CCase cases[] = {
        {"usb:1-2\\PIPE00", 0},   {"usb:1-2\\PIPE01", 0},      {"usb:1-2\\PIPE02", ENOENT},
        {"usb:1-2", ENOENT},      {"usb:1-9\\PIPE00", ENOENT}, {"usb:1-02\\PIPE00", ENOENT},
        {"usb:\\PIPE00", ENOENT},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        int nError = 0;
        std::unique_ptr<IPipe> pPipe = m_pBackend->OpenPipe(c.m_pszName, &nError);
        EXPECT_EQ(pPipe != nullptr, c.m_nError == 0);
        if (c.m_nError != 0)
        {
            EXPECT_EQ(nError, c.m_nError);
        }
    }
    // Opened, closed and opened again many times: each opening claims and releases cleanly.
    for (int i = 0; i < 20; ++i)
    {
        ASSERT_EQ(CUsbDevice(CUsbDeviceInfo("usb:1-2", "")).GetVersion(),
                  Bootloader::DEFAULT_BANNER)
            << "round " << i;
    }
}

TEST_F(UsbBoardTest, ProgressComesBetweenPiecesAndCanAbandonTheBlock)
{
    StartWithBoard();
    CPipeHandle write = PipeLayer::OpenPipe(std::string("usb:1-2") + WRITE_PIPE_SUFFIX);
    CPipeHandle read = PipeLayer::OpenPipe(std::string("usb:1-2") + READ_PIPE_SUFFIX);
    ASSERT_TRUE(write.IsValid() && read.IsValid());
    const uint32_t nSize = 3 * 1048576 + 100;
    const Bytes header = Concat({{'s'}, LittleEndian(nSize)});
    uint8_t nReply = 0;
    ASSERT_EQ(write.Get()->Write(header.data(), 1, nullptr), 1u);
    ASSERT_EQ(read.Get()->Read(&nReply, 1, nullptr), 1u);
    ASSERT_EQ(write.Get()->Write(header.data() + 1, 4, nullptr), 4u);
    ASSERT_EQ(read.Get()->Read(&nReply, 1, nullptr), 1u);

    const Bytes image = Pattern(nSize);
    std::vector<uint64_t> reports;
    PipeProgress fnProgress = [&](uint64_t nDone, uint64_t nTotal)
    {
        EXPECT_EQ(nTotal, nSize);
        reports.push_back(nDone);
        return reports.size() < 2; // abandon at the second report
    };
    const uint32_t nWritten = write.Get()->Write(image.data(), nSize, &fnProgress);
    EXPECT_EQ(reports, std::vector<uint64_t>({1048576, 2097152}));
    EXPECT_EQ(nWritten, 2097152u);
    EXPECT_EQ(write.Get()->LastError(), ECANCELED);
}

// The lock probe run as an ordinary user. It is started afresh (fork, then exec at once):
// a forked copy of this test would inherit locks that its other threads (libusb's, the
// emulated board's, the allocator's) held at the fork, and could hang on them.
class CProbeAsOrdinaryUser
{
public:
    CProbeAsOrdinaryUser(const std::string& strBoard, bool bHold)
    {
        int toProbe[2];
        int fromProbe[2];
        if (::pipe2(toProbe, O_CLOEXEC) != 0 || ::pipe2(fromProbe, O_CLOEXEC) != 0)
        {
            return;
        }
        std::vector<const char*> args{QUILLON_LOCK_PROBE, strBoard.c_str()};
        if (bHold)
        {
            args.push_back("hold");
        }
        args.push_back(nullptr);
        m_nPid = ::fork();
        if (m_nPid == 0)
        {
            if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                ::dup2(toProbe[0], STDIN_FILENO) >= 0 && ::dup2(fromProbe[1], STDOUT_FILENO) >= 0)
            {
                ::execv(args[0], const_cast<char* const*>(args.data()));
            }
            ::_exit(127);
        }
        ::close(toProbe[0]);
        ::close(fromProbe[1]);
        m_nToProbe = toProbe[1];
        m_nFromProbe = fromProbe[0];
    }

    ~CProbeAsOrdinaryUser()
    {
        Finish();
        if (m_nFromProbe >= 0)
        {
            ::close(m_nFromProbe);
        }
    }

    // Its one line, or why there is none.
    std::string Line()
    {
        std::string strLine;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (m_nFromProbe >= 0 && strLine.find('\n') == std::string::npos)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry = {m_nFromProbe, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0)
            {
                return "the probe did not answer within 60 s";
            }
            char buffer[128];
            const ssize_t nRead = ::read(m_nFromProbe, buffer, sizeof buffer);
            if (nRead <= 0)
            {
                return "the probe ended without an answer: " + strLine;
            }
            strLine.append(buffer, static_cast<size_t>(nRead));
        }
        return strLine.substr(0, strLine.find('\n'));
    }

    // Lets a holding probe go and waits for its end.
    void Finish()
    {
        if (m_nToProbe >= 0)
        {
            ::close(m_nToProbe);
            m_nToProbe = -1;
        }
        if (m_nPid > 0)
        {
            ::waitpid(m_nPid, nullptr, 0);
            m_nPid = -1;
        }
    }

    CProbeAsOrdinaryUser(const CProbeAsOrdinaryUser&) = delete;
    CProbeAsOrdinaryUser& operator=(const CProbeAsOrdinaryUser&) = delete;

private:
    pid_t m_nPid = -1;
    int m_nToProbe = -1;
    int m_nFromProbe = -1;
};

// Two users who may both open a board are kept apart by one lock, the board's device node:
// a board that one user's run holds is busy for the other's, whoever came first.
TEST_F(UsbBoardTest, OneLockKeepsTwoUsersApart)
{
    if (::geteuid() != 0)
    {
        GTEST_SKIP() << "a second user is tried only when the test runs as root";
    }
    CEmulatedUsbBoard& board = StartWithBoard();
    board.SetNodeMode(0666);
    // The other user reaches the emulated bus (its sysfs, and the sockets behind its device
    // nodes) as udev's rule would let it reach a real one.
    namespace fs = std::filesystem;
    fs::permissions(m_testbed.RootDir(), fs::perms::all, fs::perm_options::add);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_testbed.RootDir()))
    {
        if (!entry.is_symlink())
        {
            fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
        }
    }
    const std::string strBoard = board.InterfacePath();

    CBoardLock held = CBoardLock::TryLock(strBoard);
    ASSERT_TRUE(held.IsHeld()) << held.Error();
    EXPECT_EQ(CProbeAsOrdinaryUser(strBoard, false).Line(), "busy " + std::to_string(::getpid()));
    held.Release();

    CProbeAsOrdinaryUser user(strBoard, true);
    EXPECT_EQ(user.Line(), "held");
    EXPECT_EQ(CBoardLock::TryLock(strBoard).State(), EBoardLock::Busy);
    user.Finish();
    EXPECT_TRUE(CBoardLock::TryLock(strBoard).IsHeld());
}

// Child-process part of the permission test: returns a failure text, empty on success.
// Root may open any file, so the check runs as an unprivileged user.
std::string CheckPermissionMessages()
{
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
    {
        return "cannot drop root privileges";
    }
    CUsbTestbed testbed;
    CEmulatedUsbBoard board(testbed, {});
    board.Plug();
    board.SetNodeMode(0);
    CUsbBackend backend;
    if (!backend.ListInterfaces().empty())
    {
        return "a board that cannot be opened was listed";
    }
    const auto start = std::chrono::steady_clock::now();
    // Callers that poll are not held up and hear of a new board only after the grace period.
    if (!backend.RefusedBoards(false).empty())
    {
        return "a board that had just arrived was reported at once to a polling caller";
    }
    if (std::chrono::steady_clock::now() - start > 1000ms)
    {
        return "the query for polling callers waited";
    }
    const std::vector<CUsbRefusedBoard> problems = backend.RefusedBoards();
    if (problems.size() != 1 ||
        problems[0].m_strMessage.find("60-quillon.rules") == std::string::npos ||
        problems[0].m_strMessage.find("1209:5150") == std::string::npos)
    {
        return "expected one message naming the board and the rule, got " +
               std::to_string(problems.size());
    }
    if (problems[0].m_strDevicePath != "usb:1-2" ||
        !(problems[0].m_id == CUsbBoardId{0x1209, 0x5150}))
    {
        return "the refused board's path or ids are wrong: " + problems[0].m_strDevicePath;
    }
    if (std::chrono::steady_clock::now() - start <
        std::chrono::milliseconds(USB_ACCESS_GRACE_MS / 2))
    {
        return "reported before the grace period of a new board";
    }
    if (backend.RefusedBoards(false).size() != 1)
    {
        return "after the grace period a polling caller was not told";
    }

    // A board that udev makes accessible shortly after it arrived is never reported.
    board.Unplug();
    board.Plug();
    board.SetNodeMode(0);
    std::thread udev(
        [&]
        {
            std::this_thread::sleep_for(300ms);
            board.SetNodeMode(0666);
        });
    const std::vector<CUsbRefusedBoard> later = backend.RefusedBoards();
    udev.join();
    if (!later.empty())
    {
        return "a board that became accessible within the grace period was reported";
    }
    if (Paths(backend.ListInterfaces()) != std::vector<std::string>{"usb:1-2"})
    {
        return "the board was not listed once accessible";
    }
    return {};
}

TEST(UsbPermissionTest, ABoardThatCannotBeOpenedIsReportedWithTheRule)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0)
    {
        close(fds[0]);
        const std::string strFailure = CheckPermissionMessages();
        if (!strFailure.empty())
        {
            ssize_t nIgnored = write(fds[1], strFailure.data(), strFailure.size());
            (void)nIgnored;
        }
        _exit(strFailure.empty() ? 0 : 1);
    }
    close(fds[1]);
    std::string strFailure;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;)
    {
        strFailure.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int nStatus = 0;
    ASSERT_EQ(waitpid(nChild, &nStatus, 0), nChild);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strFailure;
}
} // namespace

int main(int argc, char** argv)
{
    if (!RunningUnderUmockdev(argc, argv))
    {
        std::fprintf(stderr, "umockdev-wrapper is missing: USB board tests skipped\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
