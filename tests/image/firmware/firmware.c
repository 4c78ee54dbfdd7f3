// A small Cortex-M program for the image tests: code and constants in flash, a block of
// settings in a section of its own (placed apart by gap.ld), initialised data copied to RAM
// from its load address in flash, and zeroed data that takes no room in the image.

#include <stdint.h>

extern uint32_t __data_load[], __data_start[], __data_end[], __stack_top[];

volatile uint32_t g_nCounter = 0x11223344u;
uint8_t g_buffer[256];

__attribute__((section(".config"), used)) const uint8_t g_config[48] = {
    0x51, 0x75, 0x69, 0x6c, 0x6c, 0x6f, 0x6e, 0x01, 0x02, 0x03, 0x04, 0x05,
    0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab,
};

void Reset_Handler(void)
{
    for (uint32_t *pFrom = __data_load, *pTo = __data_start; pTo < __data_end;)
    {
        *pTo++ = *pFrom++;
    }
    for (;;)
    {
        ++g_nCounter;
        g_buffer[g_nCounter & 0xFFu] = g_config[g_nCounter % sizeof g_config];
    }
}

__attribute__((section(".vectors"), used)) static void* const g_vectors[] = {
    __stack_top,
    (void*)Reset_Handler,
};
