#include "germantexts.h"
#include "mainwindow.h"
#include "memorytuning.h"
#include "settingslocation.h"
#include "unixsignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    keepLargeBlocksOutOfTheHeap();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvara"));
    QApplication::setDesktopFileName(QStringLiteral("kelvara"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/kelvara-32.png")));
    installGermanQtTexts();

    MainWindow window(settingsLocation());

    // SIGTERM and friends (a desktop session ending, a service manager stopping us) end the
    // program the way closing the window does, also during the start-up query and with a
    // message box open.
    bool terminated = false;
    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &window, [&] {
        terminated = true;
        window.Form_Unload();
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });

    if (!window.Form_Load() || terminated)
        return 0;

    // A desktop session that ends quits the application without closing the window first.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window] { window.Form_Unload(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window,
                     [&window] { window.Form_Unload(); });

    window.showMaximized();
    return QApplication::exec();
}
