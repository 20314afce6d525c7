#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Lets another thread, a deadline or the DICOM layer itself end a running exchange at once. The
// exchange registers the socket of its live connection here; ending shuts that socket down,
// which wakes any blocked read or wait in the toolkit, and sets a flag the exchange checks
// between its steps. A wait of our own (the TCP connect) also watches wakeFd().
// All members are thread-safe. The object must outlive the exchange that uses it.
class ExchangeAbort final
{
public:
    // Why the exchange was ended; the first reason wins.
    enum class Reason {
        None,
        Program,       // abort(): the program is closing
        Deadline,      // the exchange's total deadline passed
        InvalidAnswer, // the answer broke a rule or a limit; see refusal()
    };

    ExchangeAbort();
    ~ExchangeAbort();
    ExchangeAbort(const ExchangeAbort&) = delete;
    ExchangeAbort& operator=(const ExchangeAbort&) = delete;

    void abort() { end(Reason::Program); }
    [[nodiscard]] bool isAborted() const { return m_reason != Reason::None; }
    [[nodiscard]] Reason reason() const { return m_reason; }
    // Clears the flag for the next exchange. Call only while no exchange uses this object.
    void reset();

    // For the DICOM layer: ends the exchange because of what the server sent. `why` completes
    // "Ungültige Antwort von HOST:PORT: ..." and is kept for the failure text.
    void refuseAnswer(const QString& why);
    [[nodiscard]] QString refusal() const;

    // For the DICOM layer: ends the exchange at `deadline` unless disarmed first. One at a time.
    void armDeadline(std::chrono::steady_clock::time_point deadline);
    void disarmDeadline();

    // For the DICOM layer: readable once the exchange has been ended, for poll().
    [[nodiscard]] int wakeFd() const { return m_wakeFd; }

    // For the DICOM layer: the socket of the live connection (-1: none). A socket registered
    // after the end is shut down at once, so an abort between two steps is never lost.
    void registerSocket(int socket);
    // Called before the socket is closed, so a late end never touches a reused descriptor.
    void unregisterSocket(int socket);

private:
    void end(Reason reason);

    mutable std::mutex m_mutex;
    std::atomic<Reason> m_reason{Reason::None};
    QString m_refusal;
    int m_socket = -1;
    int m_wakeFd = -1;

    std::mutex m_watchMutex;
    std::condition_variable m_watchChanged;
    bool m_watchArmed = false;
    std::thread m_watchdog;
};
