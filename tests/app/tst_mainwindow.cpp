#include "faultscp.h"
#include "germantexts.h"
#include "mainwindow.h"
#include "testserver.h"
#include "windowtesting.h"
#include "worklistclient.h"

#include <QAccessible>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>

#include <functional>
#include <memory>

class TestMainWindow final : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_dir.reset(); }

    void refreshGate_data();
    void refreshGate();
    void keyboardOnly();
    void removal_data();
    void removal();
    void columnsSortAndShowCutCells();
    void dialogKeys_data();
    void dialogKeys();
    void dialogBoxes();

private:
    std::unique_ptr<MainWindow> makeWindow(const QString& ini, const QString& writeTo = {});
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Settings.ini")); }
    QString readSettings() const { return TestServer::readFile(settingsPath()); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

QString nowText()
{
    return QLocale().toString(QTime::currentTime(), QLocale::ShortFormat);
}

// The row the user sees chosen: -1 when none is selected.
int selectedRow(const MainWindow& window)
{
    const QModelIndexList rows = listOf(window)->selectionModel()->selectedRows();
    return rows.size() == 1 ? rows.first().row() : -1;
}

void pressOnFocus(Qt::Key key)
{
    QTest::keyClick(QApplication::focusWidget(), key);
}

// Runs `act` once the settings dialog is up and has the focus; it may come up more than once.
void onDialog(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act = std::move(act)] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("frmSettings") ||
            !dialog->isVisible() || !QApplication::focusWidget())
            return;
        poll->stop();
        poll->deleteLater();
        act(dialog);
    });
    poll->start(10);
}

} // namespace

void TestMainWindow::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(const QString& ini, const QString& writeTo)
{
    if (!ini.isNull())
        TestServer::writeFile(settingsPath(), ini.toUtf8());
    auto window = std::make_unique<MainWindow>(
        SettingsLocation(settingsPath(), writeTo.isEmpty() ? settingsPath() : writeTo));
    window->setTimeouts({2, 2, 2, 0});
    return window;
}

void TestMainWindow::refreshGate_data()
{
    QTest::addColumn<QStringList>("ownAetIpAet");
    QTest::addColumn<bool>("port"); // else the file has an empty Port
    QTest::addColumn<bool>("queries");
    QTest::newRow("all four set") << QStringList{"KELVARA", "127.0.0.1", "WL"} << true << true;
    QTest::newRow("a blank is content") << QStringList{"\" \"", "127.0.0.1", "WL"} << true << true;
    QTest::newRow("no own AE title") << QStringList{"", "127.0.0.1", "WL"} << true << false;
    QTest::newRow("no address") << QStringList{"KELVARA", "", "WL"} << true << false;
    QTest::newRow("no server AE title") << QStringList{"KELVARA", "127.0.0.1", ""} << true << false;
    QTest::newRow("no port") << QStringList{"KELVARA", "127.0.0.1", "WL"} << false << false;
}

void TestMainWindow::refreshGate()
{
    QFETCH(QStringList, ownAetIpAet);
    QFETCH(bool, port);
    QFETCH(bool, queries);
    const QString localAet = ownAetIpAet[0];
    BoxRecorder boxes;
    FaultScp server(FaultScp::Mode::RejectAssociation); // start-up's query fails at once
    QVERIFY(server.start());
    auto window = makeWindow(iniText(port ? QString::number(server.port()) : QString(),
                                     ownAetIpAet[2], localAet, ownAetIpAet[1]));
    QSignalSpy handled(window.get(), &MainWindow::queryHandled);
    QVERIFY(window->Form_Load());
    QCOMPARE(handled.size(), queries ? 1 : 0);
    QCOMPARE(boxes.texts.size(), queries ? 1 : 0);
    if (queries)
        QCOMPARE(statusOf(*window),
                 "Keine Liste – Aktualisierung fehlgeschlagen: " + boxes.texts[0]);

    // While a query hangs, the button and the tick are dropped and the window keeps running.
    server.setMode(FaultScp::Mode::NeverAnswer);
    window->cmdRefresh_Click();
    window->cmdRefresh_Click();
    window->tmrWork_Timer();
    QCOMPARE(window->client().isBusy(), queries);
    QCOMPARE(statusOf(*window),
             queries ? QStringLiteral("Wird aktualisiert …")
                     : QStringLiteral(
                           "Keine Verbindung eingerichtet – bitte unter Einstellungen eintragen"));
    // A blank AE title passes the gate; the exchange then names it invalid and sends nothing.
    const bool sends = queries && localAet != QLatin1String("\" \"");
    if (sends) {
        QTRY_COMPARE(server.findRequests(), 1);
        bool ticked = false;
        QTimer::singleShot(50, window.get(), [&] { ticked = true; });
        QTRY_VERIFY(ticked);
        window->client().abort(); // cut off by the program: nobody is told
    }
    QVERIFY(handled.size() == 2 || !queries || handled.wait(5000));
    QCOMPARE(server.associationRequests(), sends ? 2 : 0);
    QCOMPARE(boxes.texts.size(), queries ? 1 : 0); // the same failure again: no second box
}

// The whole round with the keyboard alone, then the mouse on the picture and the button's rim.
void TestMainWindow::keyboardOnly()
{
    BoxRecorder boxes;
    TestServer server;
    QVERIFY2(server.startDemo(6, {"--aet", "WL"}), qPrintable(server.output()));
    auto window = makeWindow(iniText(QString::number(server.port()), "WL"));
    QVERIFY(window->Form_Load());
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QSignalSpy queried(window.get(), &MainWindow::queryHandled),
        removed(window.get(), &MainWindow::removalHandled);
    QStringList order;
    auto tab = [&order] {
        order << QApplication::focusWidget()->objectName();
        pressOnFocus(Qt::Key_Tab);
    };

    window->findChild<QWidget*>(QStringLiteral("cmdRefresh"))->setFocus();
    tab();
    QCOMPARE(selectedRow(*window), -1); // the focus frame only: the user has chosen nothing
    using Move = std::pair<Qt::Key, int>;
    for (const auto& [key, row] :
         {Move{Qt::Key_End, 5}, Move{Qt::Key_Home, 0}, Move{Qt::Key_Down, 1}}) {
        pressOnFocus(key);
        QCOMPARE(selectedRow(*window), row);
    }
    const QStringList cells = shownRows(*window)[1].split(QLatin1Char('|'));
    const QString chosen = (cells[0] + cells[1]).simplified() + ", " + cells[2] + " – " + cells[3];
    tab();
    tab();
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdDel"));
    pressOnFocus(Qt::Key_Space);
    QVERIFY(removed.wait(15000));
    QTRY_COMPARE(queried.size(), 1);
    QCOMPARE(shownRows(*window, 0).size(), 5);
    QCOMPARE(statusOf(*window),
             QStringLiteral("Entfernt: %1 – 5 Einträge, Stand %2").arg(chosen, nowText()));

    tab();
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("picDel"));
    pressOnFocus(Qt::Key_Space); // the picture acts on clicks only
    QVERIFY(!window->client().isBusy());
    pressOnFocus(Qt::Key_Return); // Enter refreshes, wherever it is pressed
    QVERIFY(queried.wait(15000));
    QCOMPARE(removed.size(), 1);
    QCOMPARE(order, (QStringList{"cmdRefresh", "lvWorklist", "cmdClose", "cmdDel"}));
    QCOMPARE(statusOf(*window), QStringLiteral("5 Einträge, Stand %1").arg(nowText()));

    // The picture lying on the button and the button's rim both remove the selected entry.
    for (const char* name : {"picDel", "cmdDel"}) {
        auto* widget = window->findChild<QWidget*>(QLatin1String(name));
        QCOMPARE(widget->accessibleName(), QStringLiteral("Eintrag entfernen"));
        selectRow(*window, 0);
        const QString first = shownRows(*window, 1).first();
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(3, 3));
        QVERIFY(removed.wait(15000));
        QTRY_VERIFY(!shownRows(*window, 1).contains(first));
    }
    QCOMPARE(shownRows(*window, 0).size(), 3);
    QCOMPARE(boxes.texts, QStringList());
}

void TestMainWindow::removal_data()
{
    QTest::addColumn<QString>("listKeys"); // pressed in the list after Tab brought the focus in
    QTest::addColumn<QString>("answer");   // pressed in the box the bin brings, if any
    QTest::addColumn<QStringList>("told");
    QTest::addColumn<QString>("removed"); // what the status line names as gone
    const QString thorax = QStringLiteral("4711 Werner Klaus, 05.07.1945 – CT Thorax nativ");
    const QString abdomen = QStringLiteral("4711 Werner Klaus, 05.07.1945 – CT Abdomen mit KM");
    const QString bothAsked = QStringLiteral("Der gewählte Eintrag gehört zu einer Studie mit 2 "
                                             "Einträgen. Entfernen nimmt alle 2 von der "
                                             "Worklist:\n\n%1\n%2\n\nAlle 2 Einträge entfernen?");
    QTest::newRow("Tab in selects nothing") << ""
                                            << "" << QStringList{"Kein Eintrag ausgewählt."} << "";
    QTest::newRow("Space selects, own key: no question")
        << "Space"
        << "" << QStringList() << "1000 Albers Anna, 01.02.1960 – Thorax p.a.";
    QTest::newRow("shared key, Nein is the default: nothing sent")
        << "Down"
        << "Return" << QStringList{bothAsked.arg(thorax, abdomen)} << "";
    QTest::newRow("shared key, Ja removes both")
        << "PgDown Up"
        << "Tab Space" << QStringList{bothAsked.arg(abdomen, thorax)} << abdomen + "; " + thorax;
    QTest::newRow("entry without a key")
        << "End"
        << ""
        << QStringList{"Der Eintrag 9999 Ohne Schluessel, 01.01.1970 – Sono hat keine Study "
                       "Instance UID und kann nicht entfernt werden. Es wurde nichts gesendet."}
        << "";
}

// The user chooses with the keys, a tick comes, the bin is pressed with the keys. Two steps of
// one study share their key, and so their removal.
void TestMainWindow::removal()
{
    QFETCH(QString, listKeys);
    QFETCH(QString, answer);
    QFETCH(QStringList, told);
    QFETCH(QString, removed);
    const QString folder = m_dir->filePath(QStringLiteral("wl"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeTodaysEntry(folder + "/1.wl", "1000", "Albers^Anna", "19600201", "1.2.3.10",
                             "Thorax p.a."));
    QVERIFY(writeTodaysEntry(folder + "/2.wl", "4711", "Werner^Klaus", "19450705", "1.2.3.47",
                             "CT Thorax nativ"));
    QVERIFY(writeTodaysEntry(folder + "/3.wl", "4711", "Werner^Klaus", "19450705", "1.2.3.47",
                             "CT Abdomen mit KM"));
    QVERIFY(writeTodaysEntry(folder + "/4.wl", "9999", "Ohne^Schluessel", "19700101", "", "Sono"));
    TestServer server;
    QVERIFY2(server.start("kelvara-wlserver", {"--port", "%PORT%", "--aet", "WL", "--dir", folder}),
             qPrintable(server.output()));
    BoxRecorder boxes;
    auto window = makeWindow(iniText(QString::number(server.port()), "WL"));
    QVERIFY(window->Form_Load());
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QSignalSpy queried(window.get(), &MainWindow::queryHandled),
        handled(window.get(), &MainWindow::removalHandled);
    const QStringList before = shownRows(*window);
    QCOMPARE(before.size(), 4);

    window->findChild<QWidget*>(QStringLiteral("cmdRefresh"))->setFocus();
    pressKeys("Tab");
    QCOMPARE(listOf(*window)->currentIndex().row(), 0); // the focus frame, no choice
    QCOMPARE(selectedRow(*window), -1);
    pressKeys(listKeys);
    const int chosen = selectedRow(*window);
    window->tmrWork_Timer();
    QVERIFY(queried.wait(15000));
    QCOMPARE(selectedRow(*window), chosen); // the same entry, chosen again in the new list

    // Only a failure box holds up the minute's refresh.
    int heldWhileOpen = 0;
    boxes.whileOpen = [&](QMessageBox& box) {
        window->tmrWork_Timer();
        heldWhileOpen += window->client().isBusy() ? 0 : 1;
        // The keys go where the user's would: to the box, once it has the focus.
        if (!answer.isEmpty() &&
            QTest::qWaitFor([&box] { return QApplication::activeWindow() == &box; }))
            pressKeys(answer);
    };
    pressKeys("Tab Tab");
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdDel"));
    pressKeys("Space");
    QTRY_COMPARE_WITH_TIMEOUT(handled.size(), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!window->client().isBusy(), 15000);
    QCOMPARE(boxes.texts, told);
    QCOMPARE(heldWhileOpen, 0);
    const int gone = removed.isEmpty() ? 0 : int(removed.count(';')) + 1;
    QCOMPARE(shownRows(*window).size(), 4 - gone);
    QCOMPARE(selectedRow(*window), gone ? -1 : chosen); // a chosen entry that went leaves no choice
    QCOMPARE(server.output().contains(QStringLiteral("REMOVE ")), gone > 0);
    const QString stand = QStringLiteral("%1 Einträge, Stand %2").arg(4 - gone).arg(nowText());
    QCOMPARE(statusOf(*window), removed.isEmpty() ? stand : "Entfernt: " + removed + " – " + stand);
}

// A column header click sorts ascending only; a cut cell shows its whole text as a tool tip; a
// double-click on the divider fits the column.
void TestMainWindow::columnsSortAndShowCutCells()
{
    auto window = makeWindow(QString());
    QVERIFY(window->Form_Load());
    const QVector<WorklistRow> rows{{"b", " Li", "02.01.1990", {}, {}, {}, {1990, 1, 2}},
                                    {"C", " Kurz", "05.12.1950", {}, {}, {}, {1950, 12, 5}},
                                    {"a",
                                     " Oberhuber-Schwarzenegger Maximiliane Theodora",
                                     "04.03.2001",
                                     {},
                                     {},
                                     {},
                                     {2001, 3, 4}}};
    window->SaveData(rows);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(shownRows(*window, 0), (QStringList{"a", "b", "C"}));

    QTreeView* list = listOf(*window);
    QHeaderView* header = list->header();
    header->resizeSection(1, 120);
    auto toolTipAt = [list](int row) {
        QToolTip::hideText();
        static_cast<void>(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
        const QPoint at = list->visualRect(list->model()->index(row, 1)).center();
        QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(toolTipAt(0), rows[2].name);
    QCOMPARE(toolTipAt(1), QString());
    const QPoint divider(header->sectionViewportPosition(1) + header->sectionSize(1) - 1,
                         header->height() / 2);
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, divider);
    QVERIFY(header->sectionSize(1) > list->fontMetrics().horizontalAdvance(rows[2].name));
    QCOMPARE(toolTipAt(0), QString());
    QCOMPARE(window->columnWidthsTwips()[1], header->sectionSize(1) * 15.0); // saved as set

    for (int click = 0; click < 2; ++click) {
        const QPoint at(header->sectionViewportPosition(2) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(shownRows(*window, 0), (QStringList{"C", "b", "a"})); // by date, not its text
    }
}

void TestMainWindow::dialogKeys_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("saves");
    QTest::addColumn<bool>("blocked"); // the file's folder is a regular file: fails for root too
    for (const char* at : {"txtLocAET", "txtAET", "txtIP", "txtPort", "cmdSave", "cmdCancel"})
        QTest::addRow("Enter on %s", at) << at << int(Qt::Key_Return) << (at[3] != 'C') << false;
    QTest::newRow("Esc cancels") << "txtIP" << int(Qt::Key_Escape) << false << false;
    QTest::newRow("close box cancels") << "" << 0 << false << false;
    QTest::newRow("Enter where the file cannot be written")
        << "txtIP" << int(Qt::Key_Return) << false << true;
}

void TestMainWindow::dialogKeys()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(bool, saves);
    QFETCH(bool, blocked);
    BoxRecorder boxes;
    const QString blockedFile = m_dir->filePath(QStringLiteral("file/Settings.ini"));
    TestServer::writeFile(m_dir->filePath(QStringLiteral("file")), {});
    auto window =
        makeWindow(iniText("", "", "OLD", "") +
                       QStringLiteral("[Columns]\n1=3000\n2=6000\n3=2500\n4=2500\n5=2000\n"),
                   blocked ? blockedFile : QString());
    QVERIFY(window->Form_Load());
    window->show();
    const QString before = readSettings();
    // A resize puts back the saved widths; saving in the dialog writes those the user left.
    QHeaderView* header = listOf(*window)->header();
    header->resizeSection(1, header->sectionSize(1) + 120);
    window->resize(1200, 900);
    QCOMPARE(window->columnWidthsTwips(), (std::array<double, 5>{3000, 6000, 2500, 2500, 2000}));
    header->resizeSection(1, 500);
    const double dragged = window->columnWidthsTwips()[1];
    QString reached, keptAfterFailure;
    onDialog([&](QWidget* dialog) {
        pressOnFocus(Qt::Key_Tab); // to "AET"
        pressOnFocus(Qt::Key_Tab); // to "IP"
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("127.0.0.1"));
        if (focus.isEmpty()) {
            dialog->close();
            return;
        }
        // From "IP" the Tab key goes on to the buttons and round to the first box.
        for (int i = 0; i < 6 && QApplication::focusWidget()->objectName() != focus; ++i)
            pressOnFocus(Qt::Key_Tab);
        reached = QApplication::focusWidget()->objectName();
        pressOnFocus(Qt::Key(key));
        if (blocked) { // after the box the dialog is back with what was typed
            onDialog([&](QWidget* again) {
                keptAfterFailure = again->findChild<QLineEdit*>(QStringLiteral("txtIP"))->text();
                pressOnFocus(Qt::Key_Escape);
            });
        }
    });
    window->mnuSettings_Click();
    if (!focus.isEmpty())
        QCOMPARE(reached, focus);
    QCOMPARE(boxes.texts, blocked
                              ? QStringList{"Die Einstellungen konnten nicht in " + blockedFile +
                                            " gespeichert werden: Ein Teil des Pfads ist "
                                            "kein Ordner."}
                              : QStringList());
    QCOMPARE(keptAfterFailure, blocked ? QStringLiteral("127.0.0.1") : QString());
    QCOMPARE(window->settings().IP, saves ? QStringLiteral("127.0.0.1") : QString());
    QCOMPARE(window->settings().LocalAET, QStringLiteral("OLD"));
    if (saves)
        QVERIFY2(readSettings().contains(
                     QStringLiteral("IP=127.0.0.1\nAET=\nPort=\n[Columns]\n1=3000\n2=%1\n")
                         .arg(dragged)),
                 qPrintable(readSettings()));
    else
        QCOMPARE(readSettings(), before);
    QVERIFY(!window->client().isBusy()); // neither way refreshes
}

// The boxes are named by their labels for screen readers, the AE titles stop at 16 typed
// characters but show a longer one from the file, and Qt's own texts are German.
void TestMainWindow::dialogBoxes()
{
    QVERIFY(installGermanQtTexts());
    const QString longTitle = QStringLiteral("ABCDEFGHIJKLMNOPQRST"); // 20 characters
    auto window = makeWindow(iniText("", longTitle, "", ""));
    QVERIFY(window->Form_Load());
    QStringList names;
    QString typedLocal, shownAet, aetAfterTyping, menuTexts;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        for (const char* box : {"txtLocAET", "txtAET", "txtIP", "txtPort"})
            names << QAccessible::queryAccessibleInterface(dialog->findChild<QWidget*>(box))
                         ->text(QAccessible::Name);
        auto* local = dialog->findChild<QLineEdit*>(QStringLiteral("txtLocAET"));
        auto* aet = dialog->findChild<QLineEdit*>(QStringLiteral("txtAET"));
        QTest::keyClicks(local, QStringLiteral("12345678901234567"));
        typedLocal = local->text();
        shownAet = aet->text();
        aet->end(false);
        QTest::keyClicks(aet, QStringLiteral("X"));
        aetAfterTyping = aet->text();
        std::unique_ptr<QMenu> menu(aet->createStandardContextMenu());
        for (const QAction* action : menu->actions())
            menuTexts += action->text().remove(QLatin1Char('&')) + QLatin1Char('|');
        dialog->close();
    });
    window->mnuSettings_Click();
    QCOMPARE(names, (QStringList{"Lokaler AET", "AET", "IP", "Port"}));
    QCOMPARE((QStringList{typedLocal, shownAet, aetAfterTyping}),
             (QStringList{"1234567890123456", longTitle, longTitle}));
    for (const char* german : {"Rückgängig", "Ausschneiden", "Kopieren", "Einfügen"})
        QVERIFY2(menuTexts.contains(QString::fromUtf8(german)), qPrintable(menuTexts));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
