#pragma once
// Waits for boards to arrive or leave without polling: virtual boards through the system's
// notices on their registry directory, USB boards through the backend's device-change
// callback (hotplug), and for Wake from the caller's other threads and for stop signals.
// What a change was is not said: the caller lists the boards again.

#include <memory>
#include <string>

class CBoardWatch
{
public:
    // Watches the registry of virtual boards (made when missing) and takes the pipe layer's
    // device-change callback for as long as it lives.
    CBoardWatch();
    ~CBoardWatch();
    CBoardWatch(const CBoardWatch&) = delete;
    CBoardWatch& operator=(const CBoardWatch&) = delete;

    // Returns after a change, a Wake or a stop signal, or after nMilliseconds (-1: no end).
    void Wait(int nMilliseconds);
    // From any thread.
    void Wake();
    // Why the registry is not watched (its boards are then looked at every
    // REGISTRY_RETRY_MS); empty while it is.
    std::string Problem() const;

    static constexpr int REGISTRY_RETRY_MS = 1000;

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
};
