#pragma once
// Arrivals and removals of boards on Windows, from WM_DEVICECHANGE: a message-only window on a
// thread of its own is registered for the bootloader's interface class (boards on the board's
// own driver, and WinUSB boards that declare the class) and for USB devices (WinUSB boards known
// by their ids). Each arrival or removal of such an interface is reported with
// NotifyDeviceChange.

// The window's class; the tests find the window by it.
inline constexpr char DEVICE_NOTIFY_WINDOW_CLASS[] = "QuillonDeviceNotifications";

// Starts the window once for the process; true while it runs and is registered.
bool StartDeviceNotifications();
