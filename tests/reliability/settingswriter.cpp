// kelvara-settingswriter <Settings.ini> [a|b]: with a or b, saves that content once; without,
// saves the two in turn forever, writing 'R' to stdout (unbuffered) just before the first save.
// tst_settingskill kills it at random moments.

#include "settingsstore.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString path = QString::fromLocal8Bit(argv[1]);
    const AppSettings a{"ALPHA_LOCAL", "127.0.0.1", "ALPHA", "104", {}};
    const AppSettings b{"BETA_LOCAL_LONGER_NAME", "127.0.0.2", "BETA", "11112", {}};
    const std::array<double, 5> widthsA{1000, 2000, 3000, 4000, 5000};
    const std::array<double, 5> widthsB{1500.5, 2250.25, 3333.5, 4096, 123.5};
    if (argc == 3)
        return SaveSettings(argv[2][0] == 'a' ? a : b, argv[2][0] == 'a' ? widthsA : widthsB, path)
                   ? 0
                   : 1;
    if (::write(STDOUT_FILENO, "R", 1) != 1)
        return 1;
    while (SaveSettings(b, widthsB, path) && SaveSettings(a, widthsA, path)) {
    }
    return 1;
}
