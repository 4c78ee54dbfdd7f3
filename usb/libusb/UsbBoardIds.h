#pragma once
// Which USB devices are boards in bootloader mode: a list of vendor/product ids.
//
// The list is the built-in defaults (USB_DEFAULT_BOARD_IDS), then the ids of the per-user file
// $XDG_CONFIG_HOME/quillon/usb-ids (default ~/.config/quillon/usb-ids), then those of the
// environment variable QUILLON_USB_IDS, then those added at run time with AddUsbBoardIds
// (the command line). Ids are written "vvvv:pppp" in hexadecimal, separated by commas, blanks
// or new lines; '#' starts a comment that runs to the end of the line. Devices not on the
// list are still boards when their Microsoft OS descriptors (2.0 or 1.0) declare the board's
// interface class (see UsbDescriptors.h).

#include <cstdint>
#include <string>
#include <vector>

struct CUsbBoardId
{
    uint16_t m_nVendor = 0;
    uint16_t m_nProduct = 0;
    bool operator==(const CUsbBoardId&) const = default;
};

// The one place the built-in ids live; res/60-quillon.rules grants access to the same ids.
inline constexpr CUsbBoardId USB_DEFAULT_BOARD_IDS[] = {
    {0x1209, 0x5150}, // Plinth bootloader
    {0x1209, 0x5151}, // Plinth bootloader, dual-bank boards
};

inline constexpr char USB_IDS_ENVIRONMENT[] = "QUILLON_USB_IDS";
inline constexpr char USB_IDS_CONFIG_FILE[] = "quillon/usb-ids"; // under $XDG_CONFIG_HOME

// Parses a list of ids. False (with the offending word in *pstrError) when any word is not a
// valid "vvvv:pppp"; the valid ids before and after it are still appended to *pIds.
bool ParseUsbBoardIds(const std::string& strText, std::vector<CUsbBoardId>* pIds,
                      std::string* pstrError);

// Adds ids for the rest of the process (the command-line option). False with a message in
// *pstrError when the text is not a valid list; then nothing is added.
bool AddUsbBoardIds(const std::string& strText, std::string* pstrError);

// The full list as described above, without duplicates, in that order. Edits of the file and
// the environment apply without restarting: the file is read again whenever its identity,
// size or times change, and otherwise taken from the last read (the callers poll).
std::vector<CUsbBoardId> GetUsbBoardIds();

// The id file is read only when it is a regular file of at most this size; anything else at
// its path (a FIFO, a device, a huge file) is ignored whole, never opened for a blocking read.
inline constexpr size_t USB_IDS_FILE_MAX_SIZE = 64 * 1024;

// Reads one id file by those rules. False with the reason in *pstrProblem when something is at
// the path but is ignored; true otherwise (a missing file gives no ids and no problem).
bool ReadUsbIdsFile(const std::string& strPath, std::vector<CUsbBoardId>* pIds,
                    std::string* pstrProblem);

// Why the per-user id file was ignored at the last GetUsbBoardIds, for the user; empty if not.
std::string UsbIdsFileProblem();

bool IsUsbBoardId(const std::vector<CUsbBoardId>& ids, uint16_t nVendor, uint16_t nProduct);

// "1209:5150"
std::string FormatUsbBoardId(const CUsbBoardId& id);

// The path of the per-user id file (whether it exists or not); empty when no home is known.
std::string GetUsbIdsConfigPath();

// Boards that are present but that this user may not open, each as a message that names the
// board and tells how to grant access. Empty when there are none or no USB support is built in.
// A board that has just arrived is not reported at once, since udev may not have applied the
// access rule yet: with bWait it is retried for up to a second and a half (for one-off callers
// such as a listing); without, it is left out until a later call (for callers that poll).
std::vector<std::string> UsbAccessProblems(bool bWait = true);

// The same boards with what a listing shows of them.
struct CUsbRefusedBoard
{
    std::string m_strDevicePath; // as the listing and --device name it: "usb:" and the bus path
    CUsbBoardId m_id;
    std::string m_strMessage; // as UsbAccessProblems gives it
};
std::vector<CUsbRefusedBoard> UsbRefusedBoards(bool bWait = true);

// Starts watching the USB bus for arrivals and removals, which are then reported through
// NotifyDeviceChange. True when that is not possible here and USB boards can come and go
// unreported: the caller then polls EnumerateDevices to notice them.
bool UsbNeedsPolling();

// Where the access rule is installed; the messages point to it.
inline constexpr char USB_UDEV_RULE_PATH[] = "/usr/lib/udev/rules.d/60-quillon.rules";
