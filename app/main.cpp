#include "mainwindow.h"
#include "settingsstore.h"
#include "unixsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));

    MainWindow window(settingsFilePath());
    if (!window.Form_Load())
        return 0;

    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &window, &QWidget::close);
    // A desktop session that ends quits the application without closing the window first.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window] { window.Form_Unload(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window,
                     [&window] { window.Form_Unload(); });

    window.showMaximized();
    return QApplication::exec();
}
