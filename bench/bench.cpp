// kelvara-bench: measures a worklist refresh against our own server on 127.0.0.1, side by side
// with DCMTK's findscu sending the same identifier. See bench/run.sh and README "Performance".
//
//   kelvara-bench [--sizes 100,1000,10000,32767,100000] [--reps 5] [--out FILE]
//                 [--big 1000000] [--tls 10000] [--wlserver PATH] [--findscu PATH]
//   --tls N: the same query of N entries over plain DICOM and over TLS (0: not measured)
//
// Child modes (the driver starts itself again so that each figure gets a fresh process):
//   kelvara-bench --child-startup SETTINGS       prints the monotonic time of the first paint
//   kelvara-bench --child-refresh SETTINGS [K]   K refreshes (default 1) with the real window,
//                                                prints peak memory and the resident memory after
//   kelvara-bench --child-big N                  N rows made in memory: the list fill and a
//                                                header click, their UI blocks and peak memory

#include "findoutcome.h"
#include "mainwindow.h"
#include "memorytuning.h"
#include "worklistclient.h"
#include "worklistidentifier.h"
#include "worklistmodel.h"
#include "worklistrow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThreadPool>
#include <QTimer>
#include <QTreeView>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kServerAet = "KELVARA_WL";
constexpr const char* kOwnAet = "KELVARA_BENCH";
// Every wait is bounded: a server or child that hangs ends the benchmark with an error.
constexpr int kProcessTimeoutMs = 300000;

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[noreturn]] void fail(const QString& message)
{
    std::fprintf(stderr, "kelvara-bench: %s\n", qPrintable(message));
    std::fflush(stderr);
    std::_Exit(1);
}

// Peak ("VmHWM") or present ("VmRSS") resident memory of this process in MiB.
double memoryMiB(const char* field = "VmHWM:")
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

void writeSettings(const QString& path, quint16 port)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("cannot write ") + path);
    const QString text = QStringLiteral("[General]\nLocalAET=%1\n[Worklist]\nIP=127.0.0.1\nAET=%2\n"
                                        "Port=%3\n")
                             .arg(QLatin1String(kOwnAet), QLatin1String(kServerAet))
                             .arg(port);
    file.write(text.toUtf8());
}

// The same steps as main.cpp, up to the window being shown.
std::unique_ptr<MainWindow> openWindow(const QString& settingsPath)
{
    QApplication::setApplicationName(QStringLiteral("Kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));
    auto window = std::make_unique<MainWindow>(settingsPath);
    if (!window->Form_Load())
        fail(QStringLiteral("another instance holds the lock"));
    window->showMaximized();
    return window;
}

// Counts paints of the list, so a measurement can check the rows really were painted.
class PaintWatch final : public QObject
{
public:
    int paints = 0;
    std::function<void()> onPaint;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            if (onPaint)
                onPaint();
        }
        return QObject::eventFilter(watched, event);
    }
};

// Paints the window and lets the event loop run until the list's rows have been painted (the
// view lays its rows out on the way and asks for the rows' paint on the next pass, as in the
// program).
void paintThrough(MainWindow& window, const PaintWatch& watch, int paintsBefore)
{
    window.repaint();
    QElapsedTimer waited;
    waited.start();
    while (watch.paints == paintsBefore) {
        if (waited.elapsed() > 10000)
            fail(QStringLiteral("the list was not painted"));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
}

QTreeView* listOf(MainWindow& window)
{
    auto* list = window.findChild<QTreeView*>(QStringLiteral("lvWorklist"));
    if (!list)
        fail(QStringLiteral("no lvWorklist"));
    return list;
}

// A long list is sorted on a pool thread and shown when sorted: waits for that.
void waitForSort(QTreeView* list)
{
    auto* model = qobject_cast<WorklistModel*>(list->model());
    QElapsedTimer waited;
    waited.start();
    while (model && model->isSorting()) {
        if (waited.elapsed() > kProcessTimeoutMs)
            fail(QStringLiteral("the sort did not end"));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
}

// The longest block of the UI thread while it runs: the largest gap of a 5 ms timer.
class Heartbeat final
{
public:
    Heartbeat()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = monotonicNs();
            m_maxGap = std::max(m_maxGap, double(now - m_last) / 1e6);
            m_last = now;
        });
    }
    void start()
    {
        m_maxGap = 0;
        m_last = monotonicNs();
        m_timer.start();
    }
    // One more beat, so a block that lasted until now is counted.
    double stop()
    {
        const qint64 now = monotonicNs();
        while (m_last < now)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        m_timer.stop();
        return m_maxGap;
    }

private:
    QTimer m_timer;
    qint64 m_last = 0;
    double m_maxGap = 0;
};

// A header click as the user makes it, painted; returns the longest UI block meanwhile.
double clickHeaderBlock(MainWindow& window, const PaintWatch& watch, int section)
{
    QTreeView* list = listOf(window);
    Heartbeat heartbeat;
    heartbeat.start();
    const int paintsBefore = watch.paints;
    emit list->header()->sectionClicked(section);
    waitForSort(list);
    paintThrough(window, watch, paintsBefore);
    return heartbeat.stop();
}

// Child: start-up to the end of the first paint of the list, without Settings.ini.
int childStartup(const QString& settingsPath)
{
    // As main.cpp; openWindow is not used because the watch must be in place before the show.
    QApplication::setApplicationName(QStringLiteral("Kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));
    auto window = std::make_unique<MainWindow>(settingsPath);
    PaintWatch watch;
    listOf(*window)->viewport()->installEventFilter(&watch);
    watch.onPaint = [&watch] {
        watch.onPaint = nullptr;
        // Runs once the paint pass that delivered this event has finished.
        QTimer::singleShot(0, [] {
            std::printf("FIRSTPAINT %lld\n", static_cast<long long>(monotonicNs()));
            std::fflush(stdout);
            QApplication::exit(0);
        });
    };
    if (!window->Form_Load())
        fail(QStringLiteral("another instance holds the lock"));
    window->showMaximized();
    QTimer::singleShot(kProcessTimeoutMs, [] { fail(QStringLiteral("no paint")); });
    return QApplication::exec();
}

// Child: `count` refreshes as the program makes them, each shown and painted; then peak
// memory, and resident memory once the last list's predecessors are freed.
int childRefresh(const QString& settingsPath, int count)
{
    std::unique_ptr<MainWindow> window = openWindow(settingsPath);
    QTreeView* list = listOf(*window);
    PaintWatch watch;
    list->viewport()->installEventFilter(&watch);
    waitForSort(list);
    paintThrough(*window, watch, 0);
    for (int i = 1; i < count; ++i) {
        QEventLoop loop;
        QObject::connect(window.get(), &MainWindow::queryHandled, &loop, &QEventLoop::quit);
        const int paintsBefore = watch.paints;
        window->cmdRefresh_Click();
        loop.exec();
        waitForSort(list);
        paintThrough(*window, watch, paintsBefore);
    }
    if (list->model()->rowCount() == 0)
        fail(QStringLiteral("refresh brought no rows"));
    QThreadPool::globalInstance()->waitForDone();
    std::printf("ROWS %d\nPEAKMIB %.1f\nRSSMIB %.1f\n", list->model()->rowCount(), memoryMiB(),
                memoryMiB("VmRSS:"));
    std::fflush(stdout);
    return 0;
}

// Rows like a real day's, made in memory: repeated descriptions and birth dates share their
// text, as the row reader makes them.
QVector<WorklistRow> syntheticRows(int n)
{
    const QStringList families{"Müller",   "Schmidt", "Öztürk",  "Krämer", "Weiß",    "Becker",
                               "Hoffmann", "Dvořák",  "Schäfer", "Koch",   "Richter", "Klein"};
    const QStringList given{"Anna", "Jörg", "Sören", "Lea", "Hans-Peter", "Gülay", "Uwe", "Elke"};
    const QStringList steps{"CT Thorax mit Kontrastmittel", "MRT LWS nativ",
                            "HWS in zwei Ebenen",           "Mammographie Vorsorge",
                            "Oberbauchsonographie",         "CT Schädel nativ"};
    std::vector<QString> dates(30000);
    QRandomGenerator random(4711);
    QVector<WorklistRow> rows;
    rows.reserve(n);
    for (int i = 0; i < n; ++i) {
        WorklistRow row;
        row.patientId =
            QStringLiteral("PID%1").arg(random.bounded(100000000), 8, 10, QLatin1Char('0'));
        row.name = QLatin1Char(' ') + families[random.bounded(int(families.size()))] +
                   QLatin1Char(' ') + given[random.bounded(int(given.size()))];
        const int day = random.bounded(int(dates.size()));
        row.birthDateValue = QDate(1930, 1, 1).addDays(day);
        if (dates[size_t(day)].isEmpty())
            dates[size_t(day)] = row.birthDateValue.toString(QStringLiteral("dd.MM.yyyy"));
        row.birthDate = dates[size_t(day)];
        row.stepDescription = steps[random.bounded(int(steps.size()))];
        row.studyDescription = steps[random.bounded(int(steps.size()))];
        row.entryKey = QStringLiteral("2.25.%1").arg(i);
        rows.append(row);
    }
    return rows;
}

// Child: n rows made on another thread (as a query makes them), filled into the list, then a
// header click; the UI blocks of both and the peak memory.
int childBig(int n)
{
    const QString settingsPath =
        QDir::temp().filePath(QStringLiteral("kelvara-bench-big-%1/Settings.ini")
                                  .arg(QCoreApplication::applicationPid()));
    std::unique_ptr<MainWindow> window = openWindow(settingsPath);
    QTreeView* list = listOf(*window);
    PaintWatch watch;
    list->viewport()->installEventFilter(&watch);
    paintThrough(*window, watch, 0);
    QVector<WorklistRow> rows;
    std::thread([&rows, n] { rows = syntheticRows(n); }).join();

    Heartbeat heartbeat;
    heartbeat.start();
    const int paintsBefore = watch.paints;
    window->SaveData(std::move(rows));
    waitForSort(list);
    paintThrough(*window, watch, paintsBefore);
    const double fillBlock = heartbeat.stop();
    if (list->model()->rowCount() != n)
        fail(QStringLiteral("big: %1 rows shown").arg(list->model()->rowCount()));
    const double clickBlock = clickHeaderBlock(*window, watch, 1);
    std::printf("FILLBLOCK %.1f\nCLICKBLOCK %.1f\nPEAKMIB %.1f\n", fillBlock, clickBlock,
                memoryMiB());
    std::fflush(stdout);
    return 0;
}

struct Options
{
    QList<int> sizes{100, 1000, 10000, 32767, 100000};
    int reps = 5;
    int big = 0;     // rows of the in-memory list-only measurement; 0: none
    int tls = 10000; // entries of the plain-versus-TLS query; 0: none
    QString out = QStringLiteral("bench-results.md");
    QString wlserver;
    QString findscu = QStringLiteral("findscu");
};

struct Result
{
    int n = 0;
    std::vector<double> findscu, find, refresh, fill, gap, click, peak, ratioRefresh, ratioFind;
    double settled = -1; // resident MiB after a dozen refreshes; measured at 100,000 only
};

// The size at which a dozen refreshes show whether memory settles.
constexpr int kSettleSize = 100000;
constexpr int kSettleRefreshes = 12;

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        fail(QStringLiteral("no free port"));
    return probe.serverPort();
}

// Our worklist server with n demo entries for today; stopped when the object goes, and when the
// benchmark ends in any other way.
class Server final
{
public:
    Server(const QString& program, int n, const QStringList& extra = {})
    {
        m_port = freePort();
        m_process.setProgram(program);
        m_process.setArguments(QStringList{QStringLiteral("--port"), QString::number(m_port),
                                           QStringLiteral("--aet"), QLatin1String(kServerAet),
                                           QStringLiteral("--demo"), QString::number(n)} +
                               extra);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // However the benchmark ends (fail()'s _Exit skips this object's destructor, a signal
        // or a crash skips everything), the kernel then sends the server SIGTERM. It is sent
        // when the starting thread ends, and servers are only started on the main thread.
        m_process.setChildProcessModifier([benchmark = ::getpid()] {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != benchmark) // it ended before the line above took effect
                ::_exit(1);
        });
        m_process.start();
        if (!m_process.waitForStarted(10000))
            fail(QStringLiteral("cannot start ") + program);
        QByteArray output;
        QElapsedTimer waited;
        waited.start();
        while (!output.contains("listening on 127.0.0.1:")) {
            if (waited.elapsed() > 60000 || m_process.state() != QProcess::Running)
                fail(QStringLiteral("server did not come up: ") + QString::fromUtf8(output));
            m_process.waitForReadyRead(1000);
            output += m_process.readAll();
        }
        // Its per-request log lines are not wanted from here on.
        QObject::connect(&m_process, &QProcess::readyRead, &m_process,
                         [this] { m_process.readAll(); });
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    [[nodiscard]] quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// A deep copy, so the model ends up holding the only reference to every text, as it does after
// a real query (freeing the previous list is part of the fill).
QVector<WorklistRow> detachedCopy(const QVector<WorklistRow>& rows)
{
    const auto fresh = [](const QString& s) {
        return QString(s.constData(), s.size());
    };
    QVector<WorklistRow> copy;
    copy.reserve(rows.size());
    for (const WorklistRow& r : rows) {
        copy.append({fresh(r.patientId), fresh(r.name), fresh(r.birthDate),
                     fresh(r.stepDescription), fresh(r.studyDescription), fresh(r.entryKey),
                     r.birthDateValue});
    }
    return copy;
}

// detachedCopy() made on another thread, as a query makes its rows. Memory that the window's
// thread allocated and a pool thread freed is tidied up by the allocator at the window's next
// larger allocation, which for 100,000 rows holds the next refresh up by tens of milliseconds;
// the program never has that cost, its rows never come from the window's thread.
QVector<WorklistRow> detachedCopyOffThread(const QVector<WorklistRow>& rows)
{
    QVector<WorklistRow> copy;
    std::thread([&] { copy = detachedCopy(rows); }).join();
    return copy;
}

double msSince(qint64 startNs)
{
    return double(monotonicNs() - startNs) / 1e6;
}

// Runs a child mode of this program and returns its stdout; fails when it fails.
QByteArray runChild(const QStringList& arguments, qint64* startNs = nullptr)
{
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(arguments);
    child.setStandardErrorFile(QProcess::nullDevice());
    if (startNs)
        *startNs = monotonicNs();
    child.start();
    if (!child.waitForFinished(kProcessTimeoutMs) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0)
        fail(QStringLiteral("child %1 failed").arg(arguments.join(QLatin1Char(' '))));
    return child.readAllStandardOutput();
}

QByteArray valueOf(const QByteArray& output, const QByteArray& key)
{
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith(key + ' '))
            return line.mid(key.size() + 1).trimmed();
    }
    fail(QStringLiteral("child said nothing about ") + QString::fromLatin1(key));
}

// One query through the exchange helper, as the window runs it: the helper's start included.
FindOutcome findThroughHelper(const ConnectionParams& params)
{
    WorklistClient client;
    FindOutcome result;
    QEventLoop loop;
    QObject::connect(&client, &WorklistClient::queryFinished, &loop,
                     [&](const FindOutcome& outcome) {
                         result = outcome;
                         loop.quit();
                     });
    client.startQuery(params);
    loop.exec();
    return result;
}

// The same query of n entries to our server over plain DICOM and over TLS (a throw-away CA,
// the server's certificate verified), alternating, so both meet the same machine load.
// Returns the medians of plain ms, TLS ms and TLS / plain, taken run by run.
std::array<double, 3> measureTls(const Options& options, int n, const QString& workDir)
{
    const auto openssl = [&](const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(workDir);
        process.start(QStringLiteral("openssl"), arguments);
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            fail(QStringLiteral("openssl failed: ") + arguments.join(u' '));
    };
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-keyout", "ca.key",
             "-out", "ca.pem", "-subj", "/CN=Bench CA"});
    openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=bench", "-addext", "subjectAltName=IP:127.0.0.1"});
    openssl({"x509", "-req", "-days", "1", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-copy_extensions", "copy", "-out", "server.pem"});
    const QDir dir(workDir);
    Server plain(options.wlserver, n);
    Server secure(
        options.wlserver, n,
        {"--tls-cert", dir.filePath("server.pem"), "--tls-key", dir.filePath("server.key")});
    const auto params = [&](quint16 port, bool tls) {
        ConnectionParams p;
        p.host = QStringLiteral("127.0.0.1");
        p.port = QString::number(port);
        p.calledAet = QLatin1String(kServerAet);
        p.callingAet = QLatin1String(kOwnAet);
        p.tls = {tls, dir.filePath("ca.pem"), {}, {}};
        return p;
    };
    const auto timed = [&](const ConnectionParams& p) {
        const qint64 start = monotonicNs();
        const FindOutcome outcome = findThroughHelper(p);
        const double ms = msSince(start);
        if (outcome.error.isError() || outcome.rows.size() != n)
            fail(QStringLiteral("TLS comparison: %1").arg(outcome.error.messageText()));
        return ms;
    };
    std::vector<double> plainMs, tlsMs, ratio;
    for (int rep = 0; rep < options.reps; ++rep) {
        plainMs.push_back(timed(params(plain.port(), false)));
        tlsMs.push_back(timed(params(secure.port(), true)));
        ratio.push_back(tlsMs.back() / plainMs.back());
    }
    return {median(plainMs), median(tlsMs), median(ratio)};
}

Result measureSize(const Options& options, int n, const QString& identifierFile,
                   const QString& workDir)
{
    Result result;
    result.n = n;
    Server server(options.wlserver, n);
    const QString settingsPath = workDir + QStringLiteral("/Settings.ini");
    writeSettings(settingsPath, server.port());

    ConnectionParams params;
    params.host = QStringLiteral("127.0.0.1");
    params.port = QString::number(server.port());
    params.calledAet = QLatin1String(kServerAet);
    params.callingAet = QLatin1String(kOwnAet);

    // The window makes its first query (Form_Load) before it shows, as the program does.
    std::unique_ptr<MainWindow> window = openWindow(settingsPath);
    if (auto* timer = window->findChild<QTimer*>(QStringLiteral("tmrWork")))
        timer->stop(); // only the benchmark's own refreshes
    QTreeView* list = listOf(*window);
    PaintWatch watch;
    list->viewport()->installEventFilter(&watch);
    paintThrough(*window, watch, 0);

    Heartbeat heartbeat;

    QVector<WorklistRow> lastRows;
    for (int rep = 0; rep < options.reps; ++rep) {
        // The exchange alone, by findscu.
        {
            QProcess findscu;
            findscu.setProgram(options.findscu);
            // -q: findscu would otherwise print every response, which is not the exchange.
            findscu.setArguments(
                {QStringLiteral("-q"), QStringLiteral("-W"), QStringLiteral("-aet"),
                 QLatin1String(kOwnAet), QStringLiteral("-aec"), QLatin1String(kServerAet),
                 QStringLiteral("127.0.0.1"), QString::number(server.port()), identifierFile});
            // The toolkit's own switch: findscu then sends without the Nagle delay, as we do.
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
            findscu.setProcessEnvironment(environment);
            findscu.setStandardOutputFile(QProcess::nullDevice());
            findscu.setStandardErrorFile(QProcess::nullDevice());
            const qint64 start = monotonicNs();
            findscu.start();
            if (!findscu.waitForFinished(kProcessTimeoutMs) ||
                findscu.exitStatus() != QProcess::NormalExit || findscu.exitCode() != 0)
                fail(QStringLiteral("findscu failed"));
            result.findscu.push_back(msSince(start));
        }
        // Our find alone.
        {
            const qint64 start = monotonicNs();
            FindOutcome outcome = findThroughHelper(params);
            result.find.push_back(msSince(start));
            if (outcome.error.isError() || outcome.rows.size() != n)
                fail(QStringLiteral("find: %1 rows, %2")
                         .arg(outcome.rows.size())
                         .arg(outcome.error.messageText()));
            lastRows = std::move(outcome.rows);
        }
        // The whole refresh with the heartbeat running.
        {
            QEventLoop loop;
            const auto handled =
                QObject::connect(window.get(), &MainWindow::queryHandled, &loop, &QEventLoop::quit);
            const int paintsBefore = watch.paints;
            heartbeat.start();
            const qint64 start = monotonicNs();
            window->cmdRefresh_Click();
            QTimer::singleShot(kProcessTimeoutMs, &loop, [] { fail(QStringLiteral("no answer")); });
            loop.exec();
            waitForSort(list);
            paintThrough(*window, watch, paintsBefore);
            result.refresh.push_back(msSince(start));
            result.gap.push_back(heartbeat.stop());
            QObject::disconnect(handled);
            if (list->model()->rowCount() != n)
                fail(QStringLiteral("refresh: %1 rows shown").arg(list->model()->rowCount()));
        }
        // The list fill alone, from a ready collection.
        {
            QVector<WorklistRow> rows = detachedCopyOffThread(lastRows);
            const int paintsBefore = watch.paints;
            const qint64 start = monotonicNs();
            window->SaveData(std::move(rows));
            waitForSort(list);
            paintThrough(*window, watch, paintsBefore);
            result.fill.push_back(msSince(start));
            if (list->model()->rowCount() != n)
                fail(QStringLiteral("fill: %1 rows shown").arg(list->model()->rowCount()));
        }
        // A header click: by name, then back by patient ID.
        result.click.push_back(
            std::max(clickHeaderBlock(*window, watch, 1), clickHeaderBlock(*window, watch, 0)));
        const size_t last = result.findscu.size() - 1;
        result.ratioRefresh.push_back(result.refresh[last] / result.findscu[last]);
        result.ratioFind.push_back(result.find[last] / result.findscu[last]);
        // Peak memory of a fresh program after one refresh of this size.
        const QByteArray out = runChild({QStringLiteral("--child-refresh"), settingsPath});
        if (valueOf(out, "ROWS").toInt() != n)
            fail(QStringLiteral("child refresh: wrong row count"));
        result.peak.push_back(valueOf(out, "PEAKMIB").toDouble());
    }
    if (n == kSettleSize) {
        const QByteArray out = runChild(
            {QStringLiteral("--child-refresh"), settingsPath, QString::number(kSettleRefreshes)});
        result.settled = valueOf(out, "RSSMIB").toDouble();
    }
    return result;
}

QString fmt(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

int runDriver(const Options& options)
{
    QTemporaryDir workDir;
    if (!workDir.isValid())
        fail(QStringLiteral("no temporary folder"));

    // The identifier findscu sends: exactly the one the program builds.
    const QString identifierFile = workDir.filePath(QStringLiteral("identifier.dcm"));
    {
        const std::unique_ptr<DcmDataset> identifier = buildWorklistIdentifier();
        if (identifier->saveFile(identifierFile.toLocal8Bit().constData(), EXS_LittleEndianExplicit)
                .bad())
            fail(QStringLiteral("cannot write the identifier"));
    }

    std::vector<Result> results;
    for (int n : options.sizes) {
        std::fprintf(stderr, "N = %d ...\n", n);
        results.push_back(measureSize(options, n, identifierFile, workDir.path()));
    }

    std::array<double, 3> tls{};
    if (options.tls > 0) {
        std::fprintf(stderr, "TLS, N = %d ...\n", options.tls);
        tls = measureTls(options, options.tls, workDir.path());
    }

    // Start-up: a fresh process, no Settings.ini.
    std::vector<double> startup;
    const QString noSettings = workDir.filePath(QStringLiteral("none/Settings.ini"));
    for (int rep = 0; rep < options.reps; ++rep) {
        qint64 start = 0;
        const QByteArray out = runChild({QStringLiteral("--child-startup"), noSettings}, &start);
        startup.push_back(double(valueOf(out, "FIRSTPAINT").toLongLong() - start) / 1e6);
    }

    QString table;
    QTextStream s(&table);
    s << "| N | findscu ms | find ms | refresh ms | refresh / findscu | find / findscu "
         "| list fill ms | peak MiB | longest UI block ms | header click UI block ms |\n"
         "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Result& r : results) {
        s << "| " << r.n << " | " << fmt(median(r.findscu)) << " | " << fmt(median(r.find)) << " | "
          << fmt(median(r.refresh)) << " | " << fmt(median(r.ratioRefresh), 3) << " | "
          << fmt(median(r.ratioFind), 3) << " | " << fmt(median(r.fill)) << " | "
          << fmt(median(r.peak)) << " | " << fmt(median(r.gap)) << " | " << fmt(median(r.click))
          << " |\n";
    }
    for (const Result& r : results) {
        if (r.settled >= 0)
            s << "\nResident memory after " << kSettleRefreshes << " refreshes of " << r.n
              << " entries: " << fmt(r.settled) << " MiB\n";
    }
    if (options.tls > 0)
        s << "\nQuery of " << options.tls << " entries (find with row reading, as in a refresh), "
          << "plain: " << fmt(tls[0]) << " ms, over TLS: " << fmt(tls[1])
          << " ms, TLS / plain: " << fmt(tls[2], 3) << "\n";
    if (options.big > 0) {
        const QByteArray out =
            runChild({QStringLiteral("--child-big"), QString::number(options.big)});
        s << "\n"
          << options.big << " rows made in memory: longest UI block during the fill "
          << valueOf(out, "FILLBLOCK") << " ms, during a header click "
          << valueOf(out, "CLICKBLOCK") << " ms; peak memory " << valueOf(out, "PEAKMIB")
          << " MiB\n";
    }
    s << "\nStart-up to the first painted window (no Settings.ini): " << fmt(median(startup))
      << " ms\n\nMedians of " << options.reps
      << " runs; ratios are taken run by run. Peak memory: a fresh program after one refresh "
         "of that size. Longest UI block: largest gap of a 5 ms timer on the UI thread during "
         "the whole refresh.\n";
    s.flush();

    std::fputs(qPrintable(table), stdout);
    std::fflush(stdout);
    QFile out(options.out);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("cannot write ") + options.out);
    out.write(table.toUtf8());
    std::fprintf(stderr, "table written to %s\n", qPrintable(QFileInfo(out).absoluteFilePath()));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // The real window on the offscreen platform, and an instance lock of our own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Each process (the driver and every child) holds its own lock, as separate machines would.
    QTemporaryDir runtimeDir;
    if (!runtimeDir.isValid())
        fail(QStringLiteral("no temporary folder"));
    QFile::setPermissions(runtimeDir.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());

    keepLargeBlocksOutOfTheHeap(); // as main.cpp
    WorklistClient::setHelperProgram(QStringLiteral(KELVARA_EXCHANGE_PATH));
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--child-startup"))
        return childStartup(args[2]);
    if (args.size() >= 3 && args[1] == QLatin1String("--child-refresh"))
        return childRefresh(args[2], args.size() > 3 ? args[3].toInt() : 1);
    if (args.size() == 3 && args[1] == QLatin1String("--child-big"))
        return childBig(args[2].toInt());

    Options options;
    options.wlserver =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/kelvara-wlserver");
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--sizes") && hasValue) {
            options.sizes.clear();
            for (const QString& part : args[++i].split(QLatin1Char(','))) {
                bool ok = false;
                const int n = part.toInt(&ok);
                if (!ok || n < 1 || n > 1000000)
                    fail(QStringLiteral("--sizes wants numbers from 1 to 1000000"));
                options.sizes << n;
            }
        } else if (arg == QLatin1String("--big") && hasValue) {
            options.big = std::clamp(args[++i].toInt(), 0, 5000000);
        } else if (arg == QLatin1String("--tls") && hasValue) {
            options.tls = std::clamp(args[++i].toInt(), 0, 1000000);
        } else if (arg == QLatin1String("--reps") && hasValue) {
            options.reps = std::clamp(args[++i].toInt(), 1, 50);
        } else if (arg == QLatin1String("--out") && hasValue) {
            options.out = args[++i];
        } else if (arg == QLatin1String("--wlserver") && hasValue) {
            options.wlserver = args[++i];
        } else if (arg == QLatin1String("--findscu") && hasValue) {
            options.findscu = args[++i];
        } else {
            fail(
                QStringLiteral("unknown argument ") + arg +
                QStringLiteral(" (--sizes LIST --reps N --out FILE --big N --tls N --wlserver PATH "
                               "--findscu PATH)"));
        }
    }
    return runDriver(options);
}
