#pragma once

#include <atomic>
#include <mutex>

// Lets another thread end a running exchange at once. The exchange registers the socket of
// its live connection here; abort() shuts that socket down, which wakes any blocked read or
// wait in the toolkit, and sets a flag the exchange checks between its steps.
// All members are thread-safe. The object must outlive the exchange that uses it.
class ExchangeAbort final
{
public:
    ExchangeAbort() = default;
    ExchangeAbort(const ExchangeAbort&) = delete;
    ExchangeAbort& operator=(const ExchangeAbort&) = delete;

    void abort();
    [[nodiscard]] bool isAborted() const;
    // Clears the flag for the next exchange. Call only while no exchange uses this object.
    void reset();

    // For the DICOM layer: the socket of the live connection (-1: none). A socket registered
    // after abort() is shut down at once, so an abort between two steps is never lost.
    void registerSocket(int socket);
    // Called before the socket is closed, so a late abort() never touches a reused descriptor.
    void unregisterSocket(int socket);

private:
    mutable std::mutex m_mutex;
    std::atomic<bool> m_aborted{false};
    int m_socket = -1;
};
