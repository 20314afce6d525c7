#pragma once

#include <cstddef>
#include <functional>
#include <pthread.h>

// A thread with a stack of a size the program chooses, for the exchanges: the toolkit reads
// nested sequences by recursion, and the stack must hold the deepest answer accepted
// (AnswerLimits) with room to spare, whatever the process's default for new threads is.
// std::thread cannot choose its stack. Used like a std::thread; not copyable.
class WorkerThread final
{
public:
    static constexpr std::size_t stackBytes = 8 * 1024 * 1024;

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // False when the system could not start a thread; `body` then never runs.
    bool start(std::function<void()> body);
    [[nodiscard]] bool joinable() const { return m_joinable; }
    void join();
    void detach();

private:
    pthread_t m_thread{};
    bool m_joinable = false;
};
