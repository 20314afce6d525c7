#include "mainwindow.h"

#include "clickablelabel.h"
#include "dicomerror.h"
#include "mainlayout.h"
#include "messagebox.h"
#include "settingsdialog.h"
#include "settingsstore.h"
#include "twips.h"
#include "worklistclient.h"
#include "worklistfind.h"
#include "worklistmodel.h"

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
#include <QTreeView>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int refreshIntervalMs = 60000;
// How long closing the window waits for a running exchange to end after aborting it.
constexpr int closeWaitMs = 1000;

QFont arial(double points, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

} // namespace

MainWindow::MainWindow(SettingsLocation location, QWidget* parent)
    : QMainWindow(parent), m_location(std::move(location)), m_client(new WorklistClient(this)),
      m_model(new WorklistModel(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Kelvara"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));
    setFont(arial(15.75, true));

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
        button->setFont(arial(21.75, true));
        // Enter on a focused button presses that button, as on Windows.
        button->setAutoDefault(true);
        return button;
    };
    cmdRefresh = makeButton("cmdRefresh", QStringLiteral("Aktualisieren"));
    cmdRefresh->setDefault(true);
    lvWorklist = new QTreeView(client);
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

    lvWorklist->setModel(m_model);
    lvWorklist->setFont(arial(26.25, false));
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

    placeTwips(cmdRefresh, 45, 6615, 3300, 1005);
    placeTwips(lvWorklist, 45, 45, m_listTwips[0], m_listTwips[1]);
    placeTwips(cmdClose, 6300, 6615, 3300, 1005);
    placeTwips(cmdDel, 3420, 6615, 1275, 1005);
    placeTwips(picDel, 3735, 6795, 705, 705);
    picDel->raise();
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
    connect(m_client, &WorklistClient::removalFinished, this,
            [this](const DicomError& error, const QString&) { onRemovalFinished(error); });
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
    cmdRefresh_Click();
    // The first answer, and any failure box, come before the window shows.
    if (m_client->isBusy()) {
        QEventLoop loop;
        connect(this, &MainWindow::queryHandled, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void MainWindow::cmdRefresh_Click()
{
    const bool complete = !m_settings.AET.isEmpty() & !m_settings.IP.isEmpty() &
                          !m_settings.LocalAET.isEmpty() & !m_settings.Port.isEmpty();
    if (complete)
        WLQuery();
}

void MainWindow::tmrWork_Timer()
{
    // A server that is down for an hour leaves one box, not sixty.
    if (MessageBox::isOpen())
        return;
    cmdRefresh_Click();
}

void MainWindow::WLQuery()
{
    // A refresh asked for while an exchange runs is dropped; the running one brings news.
    m_client->startQuery(connectionParams());
}

void MainWindow::onQueryFinished(const FindOutcome& outcome)
{
    if (outcome.error.isError()) {
        if (!outcome.error.isAbortedByProgram())
            MessageBox::showStop(this, outcome.error.messageText());
        emit queryHandled();
        return;
    }
    const qsizetype count = outcome.rows.size();
    SaveData(outcome.rows, outcome.orders);
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

void MainWindow::SaveData(QVector<WorklistRow> rows, const RowOrders& orders)
{
    m_model->setRows(std::move(rows), orders);
}

void MainWindow::lvWorklist_ColumnClick(int columnIndex)
{
    const int sortKey = columnIndex - 1;
    m_model->setSortColumn(sortKey);
    lvWorklist->header()->setSortIndicator(sortKey, Qt::AscendingOrder);
}

void MainWindow::cmdDel_Click()
{
    const QModelIndexList selected = lvWorklist->selectionModel()->selectedRows();
    const WorklistRow* row = selected.isEmpty() ? nullptr : m_model->rowAt(selected.first().row());
    if (!row) {
        MessageBox::showInfo(this, QStringLiteral("Kein Eintrag ausgewählt."));
        emit removalHandled();
        return;
    }
    // The key is taken now; the removal may wait for a running query to end.
    m_client->startRemoval(connectionParams(), row->entryKey);
}

void MainWindow::picDel_Click()
{
    cmdDel_Click();
}

void MainWindow::onRemovalFinished(const DicomError& error)
{
    if (!error.isError())
        cmdRefresh_Click();
    else if (!error.isAbortedByProgram())
        MessageBox::showStop(this, error.messageText());
    emit removalHandled();
}

void MainWindow::mnuSettings_Click()
{
    SettingsDialog dialog(
        m_settings, [this] { return SaveSettings(); }, this);
    dialog.exec();
}

void MainWindow::onBusyChanged(bool busy)
{
    if (busy == m_busyCursor)
        return;
    m_busyCursor = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

ConnectionParams MainWindow::connectionParams() const
{
    ConnectionParams params;
    params.host = m_settings.IP;
    params.port = m_settings.Port;
    params.calledAet = m_settings.AET;
    params.callingAet = m_settings.LocalAET;
    params.timeouts = m_timeouts;
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
    input.currentListWidth = m_listTwips[0];
    input.savedColumnWidths = m_settings.ColumnWidths;
    input.locale = QLocale();
    const MainLayout layout = computeMainLayout(input);

    if (layout.listWidth)
        m_listTwips[0] = *layout.listWidth;
    if (layout.listHeight)
        m_listTwips[1] = *layout.listHeight;
    placeTwips(lvWorklist, 45, 45, m_listTwips[0], m_listTwips[1]);
    for (int column = 0; column < 5; ++column) {
        if (const auto width = layout.columnWidths[static_cast<std::size_t>(column)])
            setColumnTwips(column, *width);
    }
    const double d = dpi();
    cmdClose->move(Twips::toPixels(layout.closeLeft, d), Twips::toPixels(layout.closeTop, d));
    cmdRefresh->move(cmdRefresh->x(), Twips::toPixels(layout.refreshTop, d));
    cmdDel->move(cmdDel->x(), cmdRefresh->y());
    picDel->move(picDel->x(), cmdDel->y() + Twips::toPixels(160, d));
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
    (void)SaveSettings(); // nobody is there to read a failure
    tmrWork->stop();
    // Closing never waits for a slow server: the running exchange is cut off.
    m_client->abort();
    m_client->waitForIdle(closeWaitMs);
}

SaveResult MainWindow::SaveSettings()
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

void MainWindow::placeTwips(QWidget* widget, double left, double top, double width, double height)
{
    const double d = dpi();
    widget->setGeometry(Twips::toPixels(left, d), Twips::toPixels(top, d),
                        Twips::toPixels(width, d), Twips::toPixels(height, d));
}
