// A C++ application: a global object built by a constructor from .init_array, virtual calls,
// and an exception thrown and caught, so that the image holds unwinding tables (.ARM.exidx,
// .ARM.extab) and libstdc++'s code.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" uint32_t _estack[] __attribute__((weak));
extern "C" void __libc_init_array();
// libstdc++ links a random device it never calls here; the board has no entropy source.
extern "C" int getentropy(void*, size_t)
{
    return -1;
}
int main();

extern "C" void Reset_Handler()
{
    __libc_init_array();
    main();
    for (;;)
    {
    }
}

__attribute__((section(".isr_vector"), used)) void* const g_vectors[] = {
    _estack,
    reinterpret_cast<void*>(Reset_Handler),
};

namespace
{
struct CBlinker
{
    virtual ~CBlinker() = default;
    virtual uint32_t Step(uint32_t nState) { return nState + 1; }
};

struct CFastBlinker : CBlinker
{
    uint32_t Step(uint32_t nState) override
    {
        if (nState == 0xDEADBEEFu)
        {
            throw std::runtime_error("stuck");
        }
        return nState * 3 + 1;
    }
};

CFastBlinker g_blinker;
volatile uint32_t g_nState = 7;
} // namespace

int main()
{
    CBlinker& blinker = g_blinker;
    try
    {
        g_nState = blinker.Step(g_nState);
    }
    catch (const std::exception&)
    {
        g_nState = 0;
    }
    return 0;
}
