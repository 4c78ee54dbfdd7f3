#pragma once
// The per-user file of board ids as the system reads it (per platform).

#include "usb/libusb/UsbBoardIds.h"

#include <string>
#include <vector>

// The ids of the file at strPath, read again only when it changed; none when it is missing.
// Why it was ignored, if it was, is kept for UsbIdsFileProblem().
std::vector<CUsbBoardId> CachedIdsOfFile(const std::string& strPath);
