#pragma once

#include "appsettings.h"
#include "connectionparams.h"
#include "roworder.h"
#include "settingslocation.h"
#include "worklistrow.h"

#include <QMainWindow>
#include <QVector>

#include <array>
#include <memory>

class ClickableLabel;
class QLockFile;
class QPushButton;
class QTimer;
class QTreeView;
class WorklistClient;
class WorklistModel;
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
    void SaveData(QVector<WorklistRow> rows, const RowOrders& orders = {});
    void lvWorklist_ColumnClick(int columnIndex); // 1-based, as the header reports it

    // Saves the settings once, whichever way the program ends (window closed, session ending,
    // SIGTERM), and cuts off a running exchange.
    void Form_Unload();

    [[nodiscard]] const AppSettings& settings() const { return m_settings; }
    // The live widths of the five columns in twips, as Settings.ini stores them.
    [[nodiscard]] std::array<double, 5> columnWidthsTwips() const { return m_columnTwips; }
    [[nodiscard]] double listWidthTwips() const { return m_listTwips[0]; }
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

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void WLQuery();
    void Form_Resize();
    SaveResult SaveSettings();
    void picDel_Click();
    void onQueryFinished(const FindOutcome& outcome);
    void onRemovalFinished(const DicomError& error);
    void onBusyChanged(bool busy);
    void onColumnResized(int column, int newPixels);
    [[nodiscard]] ConnectionParams connectionParams() const;
    [[nodiscard]] double dpi() const;
    void placeTwips(QWidget* widget, double left, double top, double width, double height);
    void setColumnTwips(int column, double twips);

    SettingsLocation m_location;
    AppSettings m_settings;
    Timeouts m_timeouts;
    std::unique_ptr<QLockFile> m_instanceLock;
    WorklistClient* m_client;
    WorklistModel* m_model;

    QTreeView* lvWorklist;
    QPushButton* cmdRefresh;
    QPushButton* cmdClose;
    QPushButton* cmdDel;
    ClickableLabel* picDel;
    QTimer* tmrWork;

    // Twips are kept as set, not read back from pixels, so that saved widths survive the
    // round trip through whole pixels unchanged.
    std::array<double, 2> m_listTwips = {10335, 5415};
    std::array<double, 5> m_columnTwips = {6000, 10000, 5000, 2000, 1440};
    bool m_applyingLayout = false;
    bool m_unloaded = false;
    bool m_busyCursor = false;
    qsizetype m_toldTruncatedAt = -1; // the count at which the user was told the list is cut
};
