// blinky: the example image of the quick start as a C program. It toggles bit 0 of the
// output data register of GPIO port D on STM32F4-style parts (0x40020C14) for ever; the
// delay comes from a variable in RAM so that the image has a data segment, loaded into
// flash after the code and copied to RAM by the reset handler.
//
// Build it with examples/build-examples.sh (arm-none-eabi-gcc and its objcopy).

#include <stdint.h>

#define GPIOD_ODR (*(volatile uint32_t*)0x40020C14u)

extern uint32_t __data_load[], __data_start[], __data_end[], __stack_top[];

static volatile uint32_t g_delay = 200000;

static void Wait(void)
{
    for (volatile uint32_t n = 0; n < g_delay; ++n)
    {
    }
}

void Reset_Handler(void)
{
    for (uint32_t *pFrom = __data_load, *pTo = __data_start; pTo < __data_end;)
    {
        *pTo++ = *pFrom++;
    }
    for (;;)
    {
        GPIOD_ODR ^= 1u;
        Wait();
    }
}

// The initial stack pointer and the reset handler: all a Cortex-M needs to start.
__attribute__((section(".vectors"), used)) static void* const g_vectors[] = {
    __stack_top,
    (void*)Reset_Handler,
};
