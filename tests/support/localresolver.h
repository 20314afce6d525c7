#pragma once

#include <QTemporaryFile>
#include <QUdpSocket>

// Sends the host-name lookups of this test and of the programs it starts to a DNS server of
// its own on 127.0.0.77 that never answers, or that answers "no such name" at once: a lookup
// that hangs for real, and no query ever leaves the machine. Lays a resolv.conf of its own over
// /etc/resolv.conf, which needs a private mount namespace (the test runs under `unshare -m` as
// root); isActive() is false where that could not be done.
class LocalResolver final
{
public:
    enum class Mode { Silent, NoSuchName };
    explicit LocalResolver(Mode mode);
    ~LocalResolver();
    LocalResolver(const LocalResolver&) = delete;
    LocalResolver& operator=(const LocalResolver&) = delete;

    [[nodiscard]] bool isActive() const { return m_active; }
    // Lookups asked so far.
    [[nodiscard]] int queries() const { return m_queries; }

private:
    void answer();

    Mode m_mode;
    QUdpSocket m_socket;
    QTemporaryFile m_conf;
    bool m_active = false;
    int m_queries = 0;
};
