#include "mainwindow.h"

#include "clickablelabel.h"
#include "dicomerror.h"
#include "findoutcome.h"
#include "mainlayout.h"
#include "messagebox.h"
#include "removaltexts.h"
#include "settingsdialog.h"
#include "settingsstore.h"
#include "statusline.h"
#include "twips.h"
#include "worklistclient.h"
#include "worklistmodel.h"
#include "worklistview.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLockFile>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int refreshIntervalMs = 60000;
// How long closing the window waits for a running exchange to end after aborting it.
constexpr int closeWaitMs = 1000;

// The status line sits in the button row between the removal button and "Schließen".
constexpr double statusLeft = 3420 + 1275 + 120;
constexpr double statusGap = 120;
// The picture sits this far below the top of the button it lies on.
constexpr double pictureOffset = 160;

} // namespace

MainWindow::MainWindow(SettingsLocation location, QWidget* parent)
    : QMainWindow(parent), m_location(std::move(location)), m_client(new WorklistClient(this)),
      m_model(new WorklistModel(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Kelvara"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));
    setFont(arialFont(15.75, true));

    // The menu bar keeps the desktop's own font, as menus do everywhere else.
    menuBar()->setFont(QApplication::font());
    QAction* mnuSettings = menuBar()->addAction(QStringLiteral("Einstellungen"));
    mnuSettings->setObjectName(QStringLiteral("mnuSettings"));
    connect(mnuSettings, &QAction::triggered, this, &MainWindow::mnuSettings_Click);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(client);

    auto makeButton = [client](const char* name, const QString& caption) {
        auto* button = new QPushButton(caption, client);
        button->setObjectName(QLatin1String(name));
        button->setFont(arialFont(21.75, true));
        // Enter on a focused button presses that button, as on Windows.
        button->setAutoDefault(true);
        return button;
    };
    cmdRefresh = makeButton("cmdRefresh", QStringLiteral("Aktualisieren"));
    cmdRefresh->setDefault(true);
    lvWorklist = new WorklistView(client);
    lvWorklist->setObjectName(QStringLiteral("lvWorklist"));
    cmdClose = makeButton("cmdClose", QStringLiteral("Schließen"));
    cmdDel = makeButton("cmdDel", QString());
    cmdDel->setAccessibleName(QStringLiteral("Eintrag entfernen"));
    cmdDel->setToolTip(QStringLiteral("Eintrag entfernen"));
    picDel = new ClickableLabel(client);
    picDel->setObjectName(QStringLiteral("picDel"));
    picDel->setPixmap(QPixmap(QStringLiteral(":/icons/bin-48.png")));
    picDel->setAlignment(Qt::AlignCenter);
    picDel->setAccessibleName(QStringLiteral("Eintrag entfernen"));
    picDel->setToolTip(QStringLiteral("Eintrag entfernen"));
    lblStatus = new StatusLine(client);

    lvWorklist->setModel(m_model);
    lvWorklist->setFont(arialFont(26.25, false));
    lvWorklist->setRootIsDecorated(false);
    lvWorklist->setItemsExpandable(false);
    lvWorklist->setUniformRowHeights(true); // keeps 100,000 rows cheap to lay out
    lvWorklist->setAllColumnsShowFocus(true);
    lvWorklist->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvWorklist->setSelectionMode(QAbstractItemView::SingleSelection);
    lvWorklist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    QHeaderView* header = lvWorklist->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(0, Qt::AscendingOrder);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int logical) { lvWorklist_ColumnClick(logical + 1); });
    connect(header, &QHeaderView::sectionResized, this,
            [this](int logical, int, int newSize) { onColumnResized(logical, newSize); });

    Twips::place(cmdRefresh, 45, 6615, 3300, 1005);
    Twips::place(lvWorklist, 45, 45, m_listWidthTwips, m_listHeightTwips);
    Twips::place(cmdClose, 6300, 6615, 3300, 1005);
    Twips::place(cmdDel, 3420, 6615, 1275, 1005);
    Twips::place(picDel, 3735, 6795, 705, 705);
    picDel->raise();
    Twips::place(lblStatus, statusLeft, 6615, 6300 - statusGap - statusLeft, 1005);
    for (int column = 0; column < 5; ++column)
        setColumnTwips(column, m_columnTwips[static_cast<std::size_t>(column)]);

    setTabOrder(cmdRefresh, lvWorklist);
    setTabOrder(lvWorklist, cmdClose);
    setTabOrder(cmdClose, cmdDel);
    setTabOrder(cmdDel, picDel);

    connect(cmdRefresh, &QPushButton::clicked, this, &MainWindow::cmdRefresh_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdDel, &QPushButton::clicked, this, &MainWindow::cmdDel_Click);
    connect(picDel, &ClickableLabel::clicked, this, &MainWindow::picDel_Click);

    connect(m_client, &WorklistClient::queryFinished, this, &MainWindow::onQueryFinished);
    connect(m_client, &WorklistClient::removalFinished, this, &MainWindow::onRemovalFinished);
    connect(m_client, &WorklistClient::busyChanged, this, &MainWindow::onBusyChanged);

    tmrWork = new QTimer(this);
    tmrWork->setObjectName(QStringLiteral("tmrWork"));
    tmrWork->setInterval(refreshIntervalMs);
    connect(tmrWork, &QTimer::timeout, this, &MainWindow::tmrWork_Timer);
    tmrWork->start();

    // Client area of 10575 x 7680 twips when the window is not maximized.
    const int menuHeight = menuBar()->sizeHint().height();
    resize(Twips::toPixels(10575, dpi()), Twips::toPixels(7680, dpi()) + menuHeight);
}

MainWindow::~MainWindow()
{
    if (m_busyCursor)
        QApplication::restoreOverrideCursor();
}

// The instance lock lives where only this user can create files, so no other user can hold it
// and keep the program from starting: the runtime folder when it is this user's own (mode 0700),
// else the user's cache folder (named after the host there, as a home folder may be shared
// between workstations).
static QString instanceLockPath()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st = {};
    if (!runtime.isEmpty() && ::lstat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 0077) == 0)
        return QFile::decodeName(runtime) + QStringLiteral("/kelvara.lock");
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                          QStringLiteral("/kelvara");
    QDir().mkpath(cache);
    return cache + QStringLiteral("/kelvara-%1.lock").arg(QSysInfo::machineHostName());
}

bool MainWindow::Form_Load()
{
    // Another instance holds the lock: end without touching anything. A lock left behind by
    // a crashed run names a dead process and is taken over; a live one never goes stale.
    m_instanceLock = std::make_unique<QLockFile>(instanceLockPath());
    m_instanceLock->setStaleLockTime(0);
    if (!m_instanceLock->tryLock(0)) {
        m_unloaded = true; // a second instance saves nothing when it goes
        return false;
    }

    LoadSettings(m_settings, m_location.readFrom);
    m_tls = LoadTlsSettings(m_location);
    m_it = LoadItSettings(m_location);
    // A performed procedure step names the step itself; the removal object names the study.
    m_removalActsOnStudyKey = m_it.removal == ItSettings::Removal::Object;
    cmdRefresh_Click();
    // The first answer, and any failure box, come before the window shows; a request to end
    // (Form_Unload) ends the wait too.
    if (m_client->isBusy() && !m_unloaded) {
        QEventLoop loop;
        connect(this, &MainWindow::queryHandled, &loop, &QEventLoop::quit);
        connect(this, &MainWindow::unloaded, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void MainWindow::cmdRefresh_Click()
{
    if (connectionComplete())
        WLQuery();
    updateStatus();
}

bool MainWindow::connectionComplete() const
{
    return !m_settings.AET.isEmpty() && !m_settings.IP.isEmpty() &&
           !m_settings.LocalAET.isEmpty() && !m_settings.Port.isEmpty();
}

void MainWindow::tmrWork_Timer()
{
    // A server that is down for an hour leaves one box, not sixty. A notice or a question
    // that waits for the user holds up nothing.
    if (MessageBox::isFailureOpen())
        return;
    cmdRefresh_Click();
}

void MainWindow::WLQuery()
{
    // A refresh asked for while an exchange runs is dropped; the running one brings news,
    // and the status line says it runs.
    if (m_client->startQuery(connectionParams(), !m_removalActsOnStudyKey))
        m_queryRunning = true;
}

void MainWindow::onQueryFinished(const FindOutcome& outcome)
{
    m_queryRunning = false;
    // Closing: nobody is there to read a box, and it would hold up a logout.
    if (m_unloaded) {
        emit queryHandled();
        return;
    }
    if (outcome.error.isError()) {
        if (!outcome.error.isAbortedByProgram()) {
            m_lastRefreshFailed = true;
            m_lastFailure = outcome.error.messageText();
            m_removed.clear();
            updateStatus();
            // One box per outage: while the same failure goes on, the red status line tells.
            if (outcome.error.number != m_failureTold) {
                m_failureTold = outcome.error.number;
                MessageBox::showStop(this, outcome.error.messageText());
            }
        }
        emit queryHandled();
        return;
    }
    m_failureTold = 0;
    const qsizetype count = outcome.rows.size();
    const QDateTime asked = QDateTime::currentDateTime();
    m_model->setRows(outcome.rows, [this, count, asked] {
        m_lastRefreshFailed = false;
        m_lastGoodRefresh = asked;
        m_shownCount = count;
        // Named are the entries that really left the list, not those the user asked for.
        QVector<WorklistRow> gone;
        for (const WorklistRow& row : std::as_const(m_removed)) {
            if (m_model->viewRowOf(row) < 0)
                gone << row;
        }
        m_removed.clear();
        m_lastRemoved = entriesText(gone);
        updateStatus();
        m_lastRemoved.clear();
    });
    if (!outcome.truncatedByServer) {
        m_toldTruncatedAt = -1;
    } else if (m_toldTruncatedAt != count) {
        m_toldTruncatedAt = count;
        MessageBox::showInfo(this, QStringLiteral("Der Server hat die Worklist nach %1 Einträgen "
                                                  "abgebrochen. Die Liste ist unvollständig.")
                                       .arg(count));
    }
    emit queryHandled();
}

void MainWindow::SaveData(QVector<WorklistRow> rows)
{
    m_model->setRows(std::move(rows));
}

void MainWindow::lvWorklist_ColumnClick(int columnIndex)
{
    const int sortKey = columnIndex - 1;
    m_model->setSortColumn(sortKey);
    lvWorklist->header()->setSortIndicator(sortKey, Qt::AscendingOrder);
}

void MainWindow::cmdDel_Click()
{
    const int chosen = lvWorklist->selectedRow();
    const WorklistRow* row = m_model->rowAt(chosen);
    if (!row) {
        MessageBox::showInfo(this, QStringLiteral("Kein Eintrag ausgewählt."));
        emit removalHandled();
        return;
    }
    if (row->entryKey.trimmed().isEmpty()) {
        // An empty key names no entry: a server would remove nothing and might call it success.
        MessageBox::showInfo(this,
                             QStringLiteral("Der Eintrag %1 hat keine Study Instance UID und kann "
                                            "nicht entfernt werden. Es wurde nichts gesendet.")
                                 .arg(entryText(*row)));
        emit removalHandled();
        return;
    }
    // The key and the rows are taken now; the removal may wait for a running query to end,
    // and a refresh may come while the question is open.
    const QString key = row->entryKey;
    QVector<WorklistRow> going{*row};
    if (m_removalActsOnStudyKey) {
        for (const int other : m_model->viewRowsWithKey(key)) {
            if (other != chosen)
                going << *m_model->rowAt(other);
        }
    }
    if (going.size() > 1 && !MessageBox::askYesNo(this, sharedKeyQuestion(going))) {
        emit removalHandled();
        return;
    }
    if (!m_it.removalError.isEmpty()) {
        MessageBox::showStop(this,
                             notRemovedText({DicomError::badSetting, m_it.removalError}, going));
        emit removalHandled();
        return;
    }
    m_removalsAsked.enqueue(going);
    if (m_it.removal == ItSettings::Removal::Object) {
        m_client->startRemoval(connectionParams(), key);
    } else {
        // The MPPS server, where IT named one; else the worklist server.
        ConnectionParams mpps = connectionParams();
        if (!m_it.removalIp.isEmpty())
            mpps.host = m_it.removalIp;
        if (!m_it.removalPort.isEmpty())
            mpps.port = m_it.removalPort;
        if (!m_it.removalAet.isEmpty())
            mpps.calledAet = m_it.removalAet;
        const bool completed = m_it.removal == ItSettings::Removal::Completed;
        m_client->startRemoval(
            mpps, key, completed ? QStringLiteral("COMPLETED") : QStringLiteral("DISCONTINUED"),
            row->stepAttributes);
    }
    updateStatus();
}

void MainWindow::picDel_Click()
{
    cmdDel_Click();
}

void MainWindow::onRemovalFinished(const DicomError& error)
{
    const QVector<WorklistRow> rows =
        m_removalsAsked.isEmpty() ? QVector<WorklistRow>() : m_removalsAsked.dequeue();
    if (m_unloaded) {
        emit removalHandled();
        return;
    }
    if (!error.isError()) {
        m_removed << rows;
        cmdRefresh_Click();
    } else if (!error.isAbortedByProgram()) {
        updateStatus();
        MessageBox::showStop(this, notRemovedText(error, rows));
    }
    emit removalHandled();
}

void MainWindow::mnuSettings_Click()
{
    SettingsDialog dialog({m_settings.LocalAET, m_settings.AET, m_settings.IP, m_settings.Port},
                          this);
    while (dialog.exec() == QDialog::Accepted) {
        const AppSettings before = m_settings;
        const ConnectionFields typed = dialog.values();
        m_settings.LocalAET = typed.LocalAET;
        m_settings.AET = typed.AET;
        m_settings.Port = typed.Port;
        m_settings.IP = typed.IP;
        const SaveResult saved = writeSettings();
        if (saved)
            break;
        // Not saved is not success: the user hears why, and the dialog comes back with the
        // typed values to try again once the cause is fixed. The record keeps the old ones, as
        // after Cancel.
        m_settings = before;
        MessageBox::showStop(this,
                             QStringLiteral("Die Einstellungen konnten nicht in %1 gespeichert "
                                            "werden: %2")
                                 .arg(QDir::toNativeSeparators(saved.file), saved.reason));
    }
    updateStatus(); // the hint to fill in the settings may no longer hold
}

void MainWindow::onBusyChanged(bool busy)
{
    updateStatus();
    if (busy == m_busyCursor)
        return;
    m_busyCursor = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

QString MainWindow::standText() const
{
    const QLocale locale;
    const QString time = locale.toString(m_lastGoodRefresh.time(), QLocale::ShortFormat);
    // A list from another day is no longer today's worklist: say which day it is.
    if (m_lastGoodRefresh.date() == QDate::currentDate())
        return QStringLiteral("Stand %1").arg(time);
    return QStringLiteral("Stand %1 %2")
        .arg(locale.toString(m_lastGoodRefresh.date(), QLocale::ShortFormat), time);
}

void MainWindow::updateStatus()
{
    QString text;
    bool warning = false;
    if (m_client->isBusy()) {
        text = m_queryRunning ? QStringLiteral("Wird aktualisiert …")
                              : QStringLiteral("Eintrag wird entfernt …");
    } else if (!connectionComplete()) {
        text =
            QStringLiteral("Keine Verbindung eingerichtet – bitte unter Einstellungen eintragen");
        warning = true;
    } else if (m_lastRefreshFailed) {
        // Says since when the list is old and why, also after the one box of an outage.
        text = (m_lastGoodRefresh.isValid()
                    ? standText() + QStringLiteral(" – letzte Aktualisierung fehlgeschlagen")
                    : QStringLiteral("Keine Liste – Aktualisierung fehlgeschlagen")) +
               QStringLiteral(": ") + m_lastFailure;
        warning = true;
    } else if (m_lastGoodRefresh.isValid()) {
        const QString entries =
            m_shownCount == 1 ? QStringLiteral("1 Eintrag")
                              : QStringLiteral("%1 Einträge")
                                    .arg(QLocale().toString(static_cast<qlonglong>(m_shownCount)));
        text = entries + QStringLiteral(", ") + standText();
        if (!m_lastRemoved.isEmpty())
            text = QStringLiteral("Entfernt: %1 – %2").arg(m_lastRemoved, text);
    }
    lblStatus->say(text, warning);
}

ConnectionParams MainWindow::connectionParams() const
{
    ConnectionParams params;
    params.host = m_settings.IP;
    params.port = m_settings.Port;
    params.calledAet = m_settings.AET;
    params.callingAet = m_settings.LocalAET;
    params.timeouts = m_timeouts;
    params.tls = {m_tls.enabled,    m_tls.caCertificate, m_tls.certificate,
                  m_tls.privateKey, m_tls.serverName,    m_tls.error};
    params.stationAet = m_it.stationAet;
    params.modality = m_it.modality;
    return params;
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    Form_Resize();
}

void MainWindow::Form_Resize()
{
    MainLayoutInput input;
    const QRect frame = frameGeometry();
    input.outerWidth = Twips::fromPixels(frame.width(), dpi());
    input.outerHeight = Twips::fromPixels(frame.height(), dpi());
    input.currentListWidth = m_listWidthTwips;
    input.savedColumnWidths = m_settings.ColumnWidths;
    input.locale = QLocale();
    const MainLayout layout = computeMainLayout(input);

    if (layout.listWidth)
        m_listWidthTwips = *layout.listWidth;
    if (layout.listHeight)
        m_listHeightTwips = *layout.listHeight;
    Twips::place(lvWorklist, 45, 45, m_listWidthTwips, m_listHeightTwips);
    for (int column = 0; column < 5; ++column) {
        if (const auto width = layout.columnWidths[static_cast<std::size_t>(column)])
            setColumnTwips(column, *width);
    }
    const double d = dpi();
    cmdClose->move(Twips::toPixels(layout.closeLeft, d), Twips::toPixels(layout.closeTop, d));
    cmdRefresh->move(cmdRefresh->x(), Twips::toPixels(layout.refreshTop, d));
    cmdDel->move(cmdDel->x(), cmdRefresh->y());
    picDel->move(picDel->x(), cmdDel->y() + Twips::toPixels(pictureOffset, d));
    // Between the removal button and "Schließen", never over either.
    const int statusX = Twips::toPixels(statusLeft, d);
    const int statusWidth = cmdClose->x() - Twips::toPixels(statusGap, d) - statusX;
    lblStatus->setGeometry(statusX, cmdRefresh->y(), std::max(statusWidth, 0),
                           cmdRefresh->height());
    lblStatus->setVisible(statusWidth > 0);
}

void MainWindow::onColumnResized(int column, int newPixels)
{
    if (m_applyingLayout || column < 0 || column >= 5)
        return;
    m_columnTwips[static_cast<std::size_t>(column)] = Twips::fromPixels(newPixels, dpi());
}

void MainWindow::setColumnTwips(int column, double twips)
{
    m_columnTwips[static_cast<std::size_t>(column)] = twips;
    m_applyingLayout = true;
    lvWorklist->header()->resizeSection(column, Twips::toPixels(twips, dpi()));
    m_applyingLayout = false;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void MainWindow::Form_Unload()
{
    // Only an instance that holds the lock has loaded the settings and may write them back.
    if (m_unloaded || !m_instanceLock || !m_instanceLock->isLocked())
        return;
    m_unloaded = true;
    static_cast<void>(writeSettings()); // nobody is there to read a failure
    tmrWork->stop();
    // Closing never waits for a slow server: the running exchange is cut off.
    m_client->abort();
    m_client->waitForIdle(closeWaitMs);
    emit unloaded();
}

SaveResult MainWindow::writeSettings()
{
    // A save that fails (read-only folder, full disk) leaves the old file whole; the program
    // goes on with the settings it holds. Only the dialog tells the user.
    return ::SaveSettings(m_settings, m_columnTwips, m_location.writeTo, m_location.readFrom);
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // cmdRefresh is the default button: Enter refreshes unless a focused button took it.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        cmdRefresh->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

double MainWindow::dpi() const
{
    return logicalDpiX();
}
