#pragma once

// Helpers for driving the real main window against a misbehaving server.

#include "mainwindow.h"
#include "messagebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QTreeView>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <functional>
#include <memory>

namespace FaultHarness {

inline QString iniText(quint16 port)
{
    return QStringLiteral("; Station 3\n[General]\nLocalAET=KELVARA\n[Worklist]\nIP=127.0.0.1\n"
                          "AET=FAULTSCP\nPort=%1\n")
        .arg(port);
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

inline QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Every box the program shows is recorded and closed as a user would, right after it opened.
struct BoxRecorder
{
    QStringList texts;

    BoxRecorder()
    {
        MessageBox::setObserver([this](QMessageBox& box) {
            texts << box.text();
            QTimer::singleShot(0, &box, [&box] { box.accept(); });
        });
    }
    ~BoxRecorder() { MessageBox::setObserver({}); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
};

// Measures how long the window's event loop went without running, from start() on: a frozen
// window shows as one long gap.
class StallProbe
{
public:
    StallProbe()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.restart());
            ++m_ticks;
        });
    }
    void start()
    {
        m_longest = 0;
        m_ticks = 0;
        m_sinceTick.start();
        m_timer.start();
    }
    // The longest gap, counting the one still open.
    qint64 stop()
    {
        m_timer.stop();
        return std::max(m_longest, m_sinceTick.elapsed());
    }
    [[nodiscard]] int ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
    int m_ticks = 0;
};

inline QTreeView* listOf(MainWindow& window)
{
    return window.findChild<QTreeView*>(QStringLiteral("lvWorklist"));
}

// The list as shown: one "id|name|birth|step|study" line per row.
inline QStringList shownRows(MainWindow& window)
{
    QStringList rows;
    const QAbstractItemModel* model = listOf(window)->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < 5; ++c)
            cells << model->index(r, c).data().toString();
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

// Points the window at another port through the settings dialog, as a user would.
inline void changePortInDialog(MainWindow& window, quint16 port)
{
    QTimer::singleShot(0, [port] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("txtPort"));
        edit->setText(QString::number(port));
        dialog->findChild<QPushButton*>(QStringLiteral("cmdSave"))->click();
    });
    window.mnuSettings_Click();
}

// A worklist match as a server sends it.
inline std::unique_ptr<DcmDataset> match(const char* id, const char* name, const char* uid)
{
    auto ds = std::make_unique<DcmDataset>();
    ds->putAndInsertString(DCM_PatientID, id);
    ds->putAndInsertString(DCM_PatientName, name);
    ds->putAndInsertString(DCM_PatientBirthDate, "19501205");
    ds->putAndInsertString(DCM_StudyInstanceUID, uid);
    ds->putAndInsertString(DCM_RequestedProcedureDescription, "Thorax");
    auto* step = new DcmItem;
    step->putAndInsertString(DCM_ScheduledProcedureStepDescription, "Schritt");
    ds->insertSequenceItem(DCM_ScheduledProcedureStepSequence, step);
    return ds;
}

inline std::vector<std::unique_ptr<DcmDataset>> threeMatches()
{
    std::vector<std::unique_ptr<DcmDataset>> answers;
    answers.push_back(match("A", "Alpha^Anna", "1.2.3.1"));
    answers.push_back(match("B", "Beta^Bernd", "1.2.3.2"));
    answers.push_back(match("C", "Gamma^Carla", "1.2.3.3"));
    return answers;
}

inline const QStringList& threeRowsShown()
{
    static const QStringList rows{QStringLiteral("A| Alpha Anna|05.12.1950|Schritt|Thorax"),
                                  QStringLiteral("B| Beta Bernd|05.12.1950|Schritt|Thorax"),
                                  QStringLiteral("C| Gamma Carla|05.12.1950|Schritt|Thorax")};
    return rows;
}

} // namespace FaultHarness
