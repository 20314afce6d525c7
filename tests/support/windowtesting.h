#pragma once

// Driving the real main window as a user would: the boxes it shows, the list it shows, the
// settings dialog.

#include "mainwindow.h"
#include "messagebox.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <functional>

// Every box the program shows is recorded and closed as a user would, right after it opened;
// `whileOpen` acts first when set, and may answer the box itself.
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
                if (box.isVisible())
                    box.accept();
            });
        });
    }
    ~BoxRecorder() { MessageBox::setObserver({}); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
};

// Settings.ini for a server on 127.0.0.1; an empty `port` leaves the port unset.
inline QString iniText(const QString& port, const QString& aet = QStringLiteral("FAULTSCP"),
                       const QString& localAet = QStringLiteral("KELVARA"),
                       const QString& ip = QStringLiteral("127.0.0.1"))
{
    return QStringLiteral(
               "; Station 3\n[General]\nLocalAET=%1\n[Worklist]\nIP=%2\nAET=%3\nPort=%4\n")
        .arg(localAet, ip, aet, port);
}

inline QTreeView* listOf(const MainWindow& window)
{
    return window.findChild<QTreeView*>(QStringLiteral("lvWorklist"));
}

inline QString statusOf(const MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
}

// Presses keys named as in a key sequence ("Tab Space", "PgDown Up") on whatever has the focus.
inline void pressKeys(const QString& names)
{
    for (const QString& name : names.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        QTest::keyClick(QApplication::focusWidget(), QKeySequence::fromString(name)[0].key());
}

inline void selectRow(const MainWindow& window, int row)
{
    listOf(window)->setCurrentIndex(listOf(window)->model()->index(row, 0));
}

// The list as shown: one "id|name|birth|step|study" line per row, or one column's cells.
inline QStringList shownRows(const MainWindow& window, int column = -1)
{
    QStringList rows;
    const QAbstractItemModel* model = listOf(window)->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = column < 0 ? 0 : column; c < (column < 0 ? 5 : column + 1); ++c)
            cells << model->index(r, c).data().toString();
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}

// Points the window at another port through the settings dialog, as a user would.
inline void changePortInDialog(MainWindow& window, quint16 port, const QString& host = {})
{
    QTimer::singleShot(0, [port, host] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialog->findChild<QLineEdit*>("txtPort")->setText(QString::number(port));
            if (!host.isEmpty())
                dialog->findChild<QLineEdit*>("txtIP")->setText(host);
            dialog->findChild<QPushButton*>("cmdSave")->click();
        }
    });
    window.mnuSettings_Click();
}
