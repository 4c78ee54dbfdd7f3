#include "lang/DefaultStrings.h"

#include <array>

namespace
{
// Index 0 is unused so that the table reads by id. Several texts belong to the VELD
// programmer that shares this numbering; the language file can override every one.
constexpr std::array<const char*, 49> DEFAULT_STRINGS = {
    nullptr,
    "&File",                                               // 1
    "&Open Hex File...",                                   // 2
    "E&xit",                                               // 3
    "&Device",                                             // 4
    "&Program",                                            // 5
    "&Erase",                                              // 6
    "&Verify",                                             // 7
    "&Reset VELD",                                         // 8
    "&Help",                                               // 9
    "&Help Topics",                                        // 10
    "&Language",                                           // 11
    "&About",                                              // 12
    "&OK",                                                 // 13
    "&Cancel",                                             // 14
    "&Yes",                                                // 15
    "&No",                                                 // 16
    "VELD Programmer",                                     // 17
    "About VELD Programmer",                               // 18
    "Copyright (C) Corvane Limited. All rights reserved.", // 19
    "Hex Files (*.hex)",                                   // 20
    "%s version:",                                         // 21
    "Erasing chip...",                                     // 22
    "Erase Completed",                                     // 23
    "Erase Failed",                                        // 24
    "Cannot load file",                                    // 25
    "Program has been loaded",                             // 26
    "Verifying Program...",                                // 27
    "Verify Completed",                                    // 28
    "Verify Failed",                                       // 29
    "Please connect the VELD and put it into program mode (attach the USB cable and press the "
    "'reset' button), or click 'Cancel' to close.",            // 30
    "Resetting VELD...",                                       // 31
    "No VELD found",                                           // 32
    "The file is not a valid hex file",                        // 33
    "Unknown chip type",                                       // 34
    "Erase the chip before programming?",                      // 35
    "Failed with error %d",                                    // 36
    "Sending Program...",                                      // 37
    "Send Completed",                                          // 38
    "Send Failed",                                             // 39
    "Receiving Data...",                                       // 40
    "Receive Completed",                                       // 41
    "Receive Failed",                                          // 42
    "Starting Program...",                                     // 43
    "Program is running",                                      // 44
    "Reading chip type...",                                    // 45
    "Error",                                                   // 46
    "Your borad has an old firmware and cannot be programed!", // 47
    "&Close",                                                  // 48
};
} // namespace

std::string GetDefaultString(int nId)
{
    if (nId < 1 || nId >= static_cast<int>(DEFAULT_STRINGS.size()))
        return "????";
    return DEFAULT_STRINGS[static_cast<size_t>(nId)];
}
