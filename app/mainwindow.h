#pragma once

#include "appsettings.h"
#include "connectionparams.h"
#include "itsettings.h"
#include "settingslocation.h"
#include "tlssettings.h"
#include "worklistrow.h"

#include <QDateTime>
#include <QMainWindow>
#include <QQueue>
#include <QVector>

#include <array>
#include <memory>

class ClickableLabel;
class QLockFile;
class StatusLine;
class QPushButton;
class QTimer;
class WorklistClient;
class WorklistModel;
class WorklistView;
struct DicomError;
struct SaveResult;
struct FindOutcome;

// The program's single main window: the worklist, the buttons, the settings menu and the
// one-minute refresh. Owns the settings record and the worker that talks to the server.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
public:
    // Settings are read from location.readFrom and saved to location.writeTo.
    explicit MainWindow(SettingsLocation location, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up before the window is shown. Returns false when another instance runs: this
    // process must then end without reading or writing anything.
    [[nodiscard]] bool Form_Load();

    // The removal of the selected entry, the list fill and the column click.
    void cmdDel_Click();
    void SaveData(QVector<WorklistRow> rows);
    void lvWorklist_ColumnClick(int columnIndex); // 1-based, as the header reports it

    // Saves the settings once, whichever way the program ends (window closed, session ending,
    // SIGTERM), and cuts off a running exchange.
    void Form_Unload();

    [[nodiscard]] const AppSettings& settings() const { return m_settings; }
    // The live widths of the five columns in twips, as Settings.ini stores them.
    [[nodiscard]] std::array<double, 5> columnWidthsTwips() const { return m_columnTwips; }
    [[nodiscard]] WorklistClient& client() { return *m_client; }
    // Tests shorten the time-outs; the program uses the defaults.
    void setTimeouts(const Timeouts& timeouts) { m_timeouts = timeouts; }

public slots:
    void cmdRefresh_Click();
    void tmrWork_Timer();
    void mnuSettings_Click();

signals:
    // A query's answer has been handled (list filled or the failure box closed).
    void queryHandled();
    // A removal has ended (the failure box closed, or the refresh asked for).
    void removalHandled();
    // Form_Unload has saved the settings and cut off the exchange.
    void unloaded();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void WLQuery();
    void Form_Resize();
    // SaveSettings() for this window's record and live column widths.
    SaveResult writeSettings();
    void picDel_Click();
    void onQueryFinished(const FindOutcome& outcome);
    void onRemovalFinished(const DicomError& error);
    void onBusyChanged(bool busy);
    // The line beside the buttons that says how fresh the list is.
    void updateStatus();
    [[nodiscard]] bool connectionComplete() const;
    [[nodiscard]] QString standText() const;
    void onColumnResized(int column, int newPixels);
    [[nodiscard]] ConnectionParams connectionParams() const;
    [[nodiscard]] double dpi() const;
    void setColumnTwips(int column, double twips);

    SettingsLocation m_location;
    AppSettings m_settings;
    TlsSettings m_tls; // read with the settings; IT's, never written back
    ItSettings m_it;   // likewise
    Timeouts m_timeouts;
    std::unique_ptr<QLockFile> m_instanceLock;
    WorklistClient* m_client;
    WorklistModel* m_model;

    WorklistView* lvWorklist;
    QPushButton* cmdRefresh;
    QPushButton* cmdClose;
    QPushButton* cmdDel;
    ClickableLabel* picDel;
    StatusLine* lblStatus;
    QTimer* tmrWork;

    // Twips are kept as set, not read back from pixels, so that saved widths survive the
    // round trip through whole pixels unchanged.
    double m_listWidthTwips = 10335;
    double m_listHeightTwips = 5415;
    std::array<double, 5> m_columnTwips = {6000, 10000, 5000, 2000, 1440};
    bool m_applyingLayout = false;
    bool m_unloaded = false;
    bool m_busyCursor = false;
    qsizetype m_toldTruncatedAt = -1; // the count at which the user was told the list is cut

    // What the status line tells.
    bool m_queryRunning = false;
    bool m_lastRefreshFailed = false;
    QDateTime m_lastGoodRefresh; // invalid before the first list arrived
    qsizetype m_shownCount = 0;
    QString m_lastFailure; // why the last refresh failed, "number - description"
    int m_failureTold = 0; // the number whose box this outage has shown; 0: none
    // For each removal asked for and not yet ended, the rows it takes off, as shown at the click.
    QQueue<QVector<WorklistRow>> m_removalsAsked;
    QVector<WorklistRow> m_removed; // removed by the server, looked for in the next list
    QString m_lastRemoved;          // shown with the next list

    // The removal object names the study's key, so it takes every step of that study off the
    // worklist, and the user is asked first when the list shows more than the chosen one. A
    // removal that names the step itself acts on the chosen row alone and asks nothing.
    bool m_removalActsOnStudyKey = true;
};
