// A Cortex-M application as IDE projects make them: a vector table, startup code that copies
// .data from flash and clears .bss, newlib's constructors and string functions, and a table
// aligned to 256 bytes after the code.

#include <stdint.h>
#include <string.h>

extern uint32_t _sidata[] __attribute__((weak)), _sdata[] __attribute__((weak)),
    _edata[] __attribute__((weak)), _sbss[] __attribute__((weak)), _ebss[] __attribute__((weak)),
    _estack[] __attribute__((weak));
extern void __libc_init_array(void);
int main(void);

volatile uint32_t g_nTicks = 0x11223344u;
char g_message[32] = "Plinth";
uint8_t g_buffer[128];

__attribute__((aligned(256))) const uint32_t g_crcTable[16] = {
    0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4, 0x4DB26158, 0x5005713C,
    0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C, 0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C,
};

void Reset_Handler(void)
{
    for (uint32_t *pFrom = _sidata, *pTo = _sdata; pTo < _edata;)
    {
        *pTo++ = *pFrom++;
    }
    for (uint32_t* p = _sbss; p < _ebss;)
    {
        *p++ = 0;
    }
    __libc_init_array();
    main();
    for (;;)
    {
    }
}

__attribute__((section(".isr_vector"), used)) void* const g_vectors[] = {
    _estack,
    (void*)Reset_Handler,
};

int main(void)
{
    uint32_t nCrc = 0xFFFFFFFFu;
    memset(g_buffer, 0x5A, sizeof g_buffer);
    strcat(g_message, " board");
    for (size_t n = 0; n < strlen(g_message); ++n)
    {
        nCrc = (nCrc >> 4) ^ g_crcTable[(nCrc ^ (uint8_t)g_message[n]) & 0x0F];
    }
    g_nTicks = nCrc;
    return 0;
}
