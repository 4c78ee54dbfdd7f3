#pragma once
// The bootloader's wire protocol, shared by the host's transport and by the boards that
// answer it: one-byte commands, one-byte replies, 32-bit little-endian lengths and a
// fixed-size version reply.

#include <cstdint>

constexpr uint8_t CMD_SEND = 0x73;    // 's'
constexpr uint8_t CMD_RECEIVE = 0x52; // 'R'
constexpr uint8_t CMD_VERSION = 0x76; // 'v'
constexpr uint8_t CMD_EXECUTE = 0x78; // 'x'
constexpr uint8_t REPLY_READY = 0x3E; // '>'
constexpr uint8_t REPLY_DONE = 0x23;  // '#'

constexpr uint32_t VERSION_REPLY_SIZE = 14;

// The banner of the old bootloader that the front ends refuse (compared ignoring letter case).
inline constexpr char OLD_BOOTLOADER_BANNER[] = "quillon V1.0c";
