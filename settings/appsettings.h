#pragma once

#include <QString>

#include <array>

// The program's settings record. Every field is text, exactly as read from or typed into
// Settings.ini; the parts that need a number convert it themselves.
struct AppSettings
{
    QString LocalAET; // our own AE title, the calling AE title
    QString IP;       // worklist server address
    QString AET;      // worklist server AE title, the called AE title
    QString Port;     // worklist server TCP port, as text
    // Column widths in twips as saved last; read once at start-up and never changed during the run.
    std::array<QString, 5> ColumnWidths;
};
