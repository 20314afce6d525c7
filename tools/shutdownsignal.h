#pragma once

#include <atomic>
#include <thread>

// Turns SIGTERM and SIGINT into an orderly stop. Construct it before any other thread starts: it
// blocks both signals for the whole process and waits for them on a thread of its own. On a signal
// it sets the stop flag and wakes the accept loop through wakeFd(), which then ends the connections
// being served. Its thread runs until the process ends, so make one object that is never
// destroyed (create it with new).
class ShutdownSignal final
{
public:
    ShutdownSignal();
    ShutdownSignal(const ShutdownSignal&) = delete;
    ShutdownSignal& operator=(const ShutdownSignal&) = delete;

    [[nodiscard]] bool stopRequested() const { return m_stop.load(); }
    // Readable once a stop was requested.
    [[nodiscard]] int wakeFd() const { return m_pipe[0]; }

private:
    void run();

    std::atomic<bool> m_stop{false};
    int m_pipe[2] = {-1, -1};
    std::thread m_thread;
};
