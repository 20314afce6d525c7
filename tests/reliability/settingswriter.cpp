// kelvara-settingswriter <Settings.ini>: saves the two kill-test contents in turn, forever, and
// writes one letter to stdout after each finished save ('R' first, once it is about to start).
// tst_settingskill kills it at random moments; nothing here expects to end normally.

#include "killcontents.h"
#include "settingsstore.h"

#include <QString>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <Settings.ini>\n", argv[0]);
        return 2;
    }
    QLocale::setDefault(killLocale());
    const QString path = QString::fromLocal8Bit(argv[1]);
    const KillContent alpha = killContentAlpha();
    const KillContent beta = killContentBeta();
    // Unbuffered, so that what was written survives SIGKILL.
    if (::write(STDOUT_FILENO, "R", 1) != 1)
        return 1;
    for (;;) {
        for (const KillContent* content : {&beta, &alpha}) {
            if (!SaveSettings(content->settings, content->widths, path))
                return 1;
            const char mark = content == &alpha ? 'A' : 'B';
            if (::write(STDOUT_FILENO, &mark, 1) != 1)
                return 1;
        }
    }
}
