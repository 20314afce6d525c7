#include "mainwindow.h"
#include "messagebox.h"
#include "testserver.h"
#include "worklistclient.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

namespace {

QString iniText(const QString& localAet, const QString& ip, const QString& aet, const QString& port,
                const QString& columns = {})
{
    return QStringLiteral("[General]\nLocalAET=%1\n[Worklist]\nIP=%2\nAET=%3\nPort=%4\n%5")
        .arg(localAet, ip, aet, port, columns);
}

// Every box the program shows is recorded and closed, unless a test wants to act first.
struct BoxRecorder
{
    QStringList texts;
    std::function<void(QMessageBox&)> whileOpen;

    BoxRecorder()
    {
        MessageBox::setObserver([this](QMessageBox& box) {
            texts << box.text();
            QTimer::singleShot(0, &box, [this, &box] {
                if (whileOpen)
                    whileOpen(box);
                box.accept();
            });
        });
    }
    ~BoxRecorder() { MessageBox::setObserver({}); }
};

// Accepts connections and never says a word: a server that hangs.
class SilentServer final : public QTcpServer
{
public:
    int connections = 0;
    QList<QTcpSocket*> sockets;
    SilentServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                ++connections;
                sockets << socket;
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
};

} // namespace

class TestMainWindow final : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void refreshGate_data();
    void refreshGate();
    void failureBoxKeepsListAndTicksWait();
    void removalEndToEnd();
    void removalWithoutSelectionSendsNothing();
    void columnClickSortsAscendingOnly();
    void savedWidthsHoldOnEveryResize();
    void keyboardReachesEveryControlInOrder();
    void dialogKeys_data();
    void dialogKeys();

private:
    std::unique_ptr<MainWindow> makeWindow(const QString& ini, const QString& writeTo = {});
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Settings.ini")); }
    QString readSettings() const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestMainWindow::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestMainWindow::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(const QString& ini, const QString& writeTo)
{
    if (!ini.isNull()) {
        QFile file(settingsPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(ini.toUtf8());
    }
    auto window = std::make_unique<MainWindow>(
        SettingsLocation(settingsPath(), writeTo.isEmpty() ? settingsPath() : writeTo));
    Timeouts quick;
    quick.connectSeconds = 3;
    quick.acseSeconds = 2;
    quick.dimseSeconds = 2;
    window->setTimeouts(quick);
    return window;
}

QString TestMainWindow::readSettings() const
{
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestMainWindow::refreshGate_data()
{
    QTest::addColumn<QString>("localAet");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("aet");
    QTest::addColumn<bool>("queries");
    QTest::newRow("all four set") << "KELVARA"
                                  << "127.0.0.1"
                                  << "WL" << true;
    QTest::newRow("a blank is content") << "\" \""
                                        << "127.0.0.1"
                                        << "WL" << true;
    QTest::newRow("no own AE title") << ""
                                     << "127.0.0.1"
                                     << "WL" << false;
    QTest::newRow("no address") << "KELVARA"
                                << ""
                                << "WL" << false;
    QTest::newRow("no server AE title") << "KELVARA"
                                        << "127.0.0.1"
                                        << "" << false;
}

void TestMainWindow::refreshGate()
{
    QFETCH(QString, localAet);
    QFETCH(QString, ip);
    QFETCH(QString, aet);
    QFETCH(bool, queries);

    BoxRecorder boxes;
    SilentServer server; // counts connection attempts; the refused-or-hung query then fails
    const QString port = QString::number(server.serverPort());
    auto window = makeWindow(iniText(localAet, ip, aet, port));
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    QVERIFY(window->Form_Load());
    QCOMPARE(handled.size(), queries ? 1 : 0);
    window->cmdRefresh_Click();
    window->tmrWork_Timer(); // dropped while the refresh runs
    QCOMPARE(window->client().isBusy(), queries);
    if (queries)
        QVERIFY(handled.wait(15000));
    QCOMPARE(server.connections, queries ? 2 : 0);
    QCOMPARE(boxes.texts.size(), queries ? 2 : 0);
}

void TestMainWindow::failureBoxKeepsListAndTicksWait()
{
    BoxRecorder boxes;
    const quint16 port = TestServer::freePort();
    auto window = makeWindow(iniText("KELVARA", "127.0.0.1", "WL", QString::number(port)));
    QVERIFY(window->Form_Load());
    QCOMPARE(boxes.texts.size(), 1); // before the window shows
    QVERIFY2(boxes.texts.first().contains(QStringLiteral("127.0.0.1:%1").arg(port)),
             qPrintable(boxes.texts.first()));
    QVERIFY(boxes.texts.first().contains(QLatin1String(" - ")));

    WorklistRow row;
    row.patientId = QStringLiteral("4711");
    window->SaveData({row});
    QSignalSpy busy(&window->client(), &WorklistClient::busyChanged);
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    int queriesWhileOpen = -1;
    boxes.whileOpen = [&](QMessageBox&) {
        const qsizetype before = busy.size();
        window->tmrWork_Timer();
        window->tmrWork_Timer();
        queriesWhileOpen = static_cast<int>(busy.size() - before);
    };
    window->tmrWork_Timer();
    QVERIFY(handled.wait(15000));
    QCOMPARE(queriesWhileOpen, 0);
    QCOMPARE(boxes.texts.size(), 2);
    auto* list = window->findChild<QTreeView*>(QStringLiteral("lvWorklist"));
    QCOMPARE(list->model()->rowCount(), 1);
    QCOMPARE(list->model()->index(0, 0).data().toString(), QStringLiteral("4711"));
}

void TestMainWindow::removalEndToEnd()
{
    BoxRecorder boxes;
    TestServer server;
    QVERIFY2(
        server.start(QStringLiteral("kelvara-wlserver"),
                     {QStringLiteral("--port"), QStringLiteral("%PORT%"), QStringLiteral("--aet"),
                      QStringLiteral("WL"), QStringLiteral("--demo"), QStringLiteral("5")}),
        qPrintable(server.output()));
    auto window = makeWindow(iniText("KELVARA", "127.0.0.1", "WL", QString::number(server.port())));
    QVERIFY(window->Form_Load());
    QCOMPARE(boxes.texts, QStringList());
    auto* list = window->findChild<QTreeView*>(QStringLiteral("lvWorklist"));
    QCOMPARE(list->model()->rowCount(), 5);
    window->show();

    auto keysShown = [list] {
        QStringList names;
        for (int r = 0; r < list->model()->rowCount(); ++r)
            names << list->model()->index(r, 1).data().toString();
        return names;
    };
    const QStringList before = keysShown();
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);

    // Through the button itself.
    list->setCurrentIndex(list->model()->index(1, 0));
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("cmdDel")), Qt::LeftButton);
    QVERIFY(handled.wait(15000));
    QCOMPARE(list->model()->rowCount(), 4);
    QVERIFY(!keysShown().contains(before.at(1)));

    // Through the picture lying on the button.
    list->setCurrentIndex(list->model()->index(0, 0));
    const QString first = list->model()->index(0, 1).data().toString();
    QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("picDel")), Qt::LeftButton);
    QVERIFY(handled.wait(15000));
    QCOMPARE(list->model()->rowCount(), 3);
    QVERIFY(!keysShown().contains(first));
    QCOMPARE(boxes.texts, QStringList());
}

void TestMainWindow::removalWithoutSelectionSendsNothing()
{
    BoxRecorder boxes;
    SilentServer server;
    auto window = makeWindow(iniText("", "127.0.0.1", "WL", QString::number(server.serverPort())));
    QVERIFY(window->Form_Load());
    window->cmdDel_Click();
    QCOMPARE(boxes.texts, QStringList{QStringLiteral("Kein Eintrag ausgewählt.")});
    QTest::qWait(50);
    QCOMPARE(server.connections, 0);
}

void TestMainWindow::columnClickSortsAscendingOnly()
{
    auto window = makeWindow(QString());
    QVERIFY(window->Form_Load());
    QVector<WorklistRow> rows(3);
    rows[0].patientId = QStringLiteral("b");
    rows[0].birthDateValue = QDate(1990, 1, 2);
    rows[1].patientId = QStringLiteral("C");
    rows[1].birthDateValue = QDate(1950, 12, 5);
    rows[2].patientId = QStringLiteral("a");
    rows[2].birthDateValue = QDate(2001, 3, 4);
    for (WorklistRow& row : rows)
        row.birthDate = QLocale().toString(row.birthDateValue, QStringLiteral("dd.MM.yyyy"));
    window->SaveData(rows);
    window->show();
    auto* list = window->findChild<QTreeView*>(QStringLiteral("lvWorklist"));
    auto column = [list](int c) {
        QStringList values;
        for (int r = 0; r < list->model()->rowCount(); ++r)
            values << list->model()->index(r, c).data().toString();
        return values;
    };
    QCOMPARE(column(0), (QStringList{"a", "b", "C"}));

    QHeaderView* header = list->header();
    auto clickHeader = [header](int section) {
        const QPoint at(header->sectionViewportPosition(section) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    };
    clickHeader(2);
    QCOMPARE(column(0), (QStringList{"C", "b", "a"})); // by date, not by "05.12.1950" text
    clickHeader(2);
    QCOMPARE(column(0), (QStringList{"C", "b", "a"}));
}

void TestMainWindow::savedWidthsHoldOnEveryResize()
{
    auto window = makeWindow(iniText("", "", "", "",
                                     QStringLiteral("[Columns]\n1=3000\n2=6000\n3=2500\n4=2500\n"
                                                    "5=2000\n")));
    QVERIFY(window->Form_Load());
    window->show();
    const std::array<double, 5> saved = {3000, 6000, 2500, 2500, 2000};
    QCOMPARE(window->columnWidthsTwips(), saved);
    auto* header = window->findChild<QTreeView*>(QStringLiteral("lvWorklist"))->header();
    header->resizeSection(1, header->sectionSize(1) + 120); // the user drags column 2
    QVERIFY(window->columnWidthsTwips()[1] > 6000);
    for (const QSize size : {QSize(800, 600), QSize(1200, 900), QSize(640, 480)}) {
        window->resize(size);
        QCOMPARE(window->columnWidthsTwips(), saved);
    }
}

void TestMainWindow::keyboardReachesEveryControlInOrder()
{
    auto window = makeWindow(QString());
    QVERIFY(window->Form_Load());
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto* refresh = window->findChild<QWidget*>(QStringLiteral("cmdRefresh"));
    refresh->setFocus();
    QStringList order;
    for (int i = 0; i < 5; ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, (QStringList{"cmdRefresh", "lvWorklist", "cmdClose", "cmdDel", "picDel"}));
    // The removal button has no caption: screen readers and tool tips name it.
    for (const char* name : {"cmdDel", "picDel"}) {
        auto* widget = window->findChild<QWidget*>(QLatin1String(name));
        QCOMPARE(widget->accessibleName(), QStringLiteral("Eintrag entfernen"));
        QCOMPARE(widget->toolTip(), QStringLiteral("Eintrag entfernen"));
    }
}

void TestMainWindow::dialogKeys_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<bool>("saves");
    QTest::addColumn<bool>("blocked"); // the file's folder is a regular file: fails for root too
    QTest::newRow("Enter saves, with the live widths") << 0 << true << false;
    QTest::newRow("Enter where the file cannot be written") << 0 << false << true;
    QTest::newRow("Esc cancels") << 1 << false << false;
    QTest::newRow("Abbrechen cancels") << 2 << false << false;
    QTest::newRow("close box cancels") << 3 << false << false;
}

void TestMainWindow::dialogKeys()
{
    QFETCH(int, how);
    QFETCH(bool, saves);
    QFETCH(bool, blocked);
    BoxRecorder boxes;
    const QString blockedFile = m_dir->filePath(QStringLiteral("file/Settings.ini"));
    const QString longTitle = QStringLiteral("ABCDEFGHIJKLMNOPQRST"); // 20 characters
    auto window = makeWindow(iniText("OLD", "", longTitle, ""), blocked ? blockedFile : QString());
    QFile(m_dir->filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly);
    QVERIFY(window->Form_Load());
    window->show();
    auto* header = window->findChild<QTreeView*>(QStringLiteral("lvWorklist"))->header();
    header->resizeSection(1, 500); // dragged by the user
    const double dragged = window->columnWidthsTwips()[1];
    const QString before = readSettings();
    bool checked = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        const auto closeOnFailure = qScopeGuard([&] { checked || dialog->close(); });
        QCOMPARE(dialog->objectName(), QStringLiteral("frmSettings"));
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        // An AE title from the file is shown in full; typing stops at 16 characters.
        auto* aet = dialog->findChild<QLineEdit*>(QStringLiteral("txtAET"));
        QCOMPARE(aet->text(), longTitle);
        aet->setFocus();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("X"));
        QCOMPARE(aet->text(), longTitle);
        dialog->findChild<QLineEdit*>(QStringLiteral("txtLocAET"))->setFocus();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("12345678901234567"));
        dialog->findChild<QLineEdit*>(QStringLiteral("txtIP"))->setFocus();
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("127.0.0.1"));
        if (how < 2)
            QTest::keyClick(QApplication::focusWidget(),
                            how == 0 ? Qt::Key_Return : Qt::Key_Escape);
        else if (how == 2)
            QTest::mouseClick(dialog->findChild<QWidget*>(QStringLiteral("cmdCancel")),
                              Qt::LeftButton);
        else
            dialog->close();
        if (blocked) { // the box has come and gone; the dialog stays with what was typed
            QCOMPARE(QApplication::activeModalWidget(), dialog);
            dialog->activateWindow(); // what a window manager does when the box goes
            QVERIFY(QTest::qWaitForWindowActive(dialog));
            QCOMPARE(qobject_cast<QLineEdit*>(QApplication::focusWidget())->text(), "127.0.0.1");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        }
        checked = true;
    });
    window->mnuSettings_Click();
    QVERIFY(checked);
    QCOMPARE(boxes.texts, blocked
                              ? QStringList{"Die Einstellungen konnten nicht in " + blockedFile +
                                            " gespeichert werden: Ein Teil des Pfads ist kein "
                                            "Ordner."}
                              : QStringList());
    QCOMPARE(window->settings().IP, saves ? QStringLiteral("127.0.0.1") : QString());
    QCOMPARE(window->settings().LocalAET, saves ? "OLD1234567890123" : "OLD");
    if (saves)
        QVERIFY2(readSettings().contains(QStringLiteral("IP=127.0.0.1\n")) &&
                     readSettings().contains(QStringLiteral("\n2=%1\n").arg(dragged)),
                 qPrintable(readSettings()));
    else
        QCOMPARE(readSettings(), before);
    QVERIFY(!window->client().isBusy()); // neither way refreshes
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
