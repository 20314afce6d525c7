#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every message the program shows goes through here: one modal box with the program's name
// as caption. Tests install an observer to read what a user would have seen and to answer or
// close the box.
namespace MessageBox {

// Shows a failure: stop icon, OK button.
void showStop(QWidget* parent, const QString& text);
// Shows a notice that is no failure: information icon, OK button.
void showInfo(QWidget* parent, const QString& text);
// Asks before something that cannot be undone: question icon, "Ja" and "Nein", with "Nein" as
// the default button and for Esc. True only when the user chose "Ja".
[[nodiscard]] bool askYesNo(QWidget* parent, const QString& text);
// True while a failure box is open. The other boxes wait for the user too, but a notice or a
// question must not hold up the refresh.
[[nodiscard]] bool isFailureOpen();

// Called with each box right before it runs; the box is open by the time queued calls run.
using Observer = std::function<void(QMessageBox& box)>;
void setObserver(Observer observer);

} // namespace MessageBox
