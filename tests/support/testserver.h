#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A real DICOM peer (wlmscpfs, storescp, findscu, our own kelvara-wlserver) run as a child
// process on 127.0.0.1 for one test. Stopped when the object goes away.
class TestServer
{
public:
    TestServer() = default;
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // A TCP port on 127.0.0.1 that nothing listens on right now.
    [[nodiscard]] static quint16 freePort();
    static bool writeFile(const QString& path, const QByteArray& bytes);
    [[nodiscard]] static QString readFile(const QString& path);
    // Path of a helper program: our own tools come from the environment the test runner sets
    // (KELVARA_WLSERVER), DCMTK's from PATH.
    [[nodiscard]] static QString program(const QString& name);

    // Starts `program` with `arguments` (use "%PORT%" for the port) on a free port and waits
    // until it listens. Returns false when it did not come up; output() then says why.
    [[nodiscard]] bool start(const QString& program, const QStringList& arguments);
    // Our own kelvara-wlserver with `entries` demo entries for today, and `options`.
    [[nodiscard]] bool startDemo(int entries, const QStringList& options = {});
    void stop();

    [[nodiscard]] quint16 port() const { return m_port; }
    // stdout and stderr merged
    [[nodiscard]] QString output();
    // Waits until the output contains `text`.
    [[nodiscard]] bool waitForOutput(const QString& text, int msecs = 10000);

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};
