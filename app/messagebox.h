#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every message the program shows goes through here: one modal box with the program's name
// as caption and a single OK button. Tests install an observer to read what a user would
// have seen and to close the box.
namespace MessageBox {

// Shows a failure: stop icon.
void showStop(QWidget* parent, const QString& text);
// Shows a notice that is no failure: information icon.
void showInfo(QWidget* parent, const QString& text);
// True while one of the boxes above is open.
[[nodiscard]] bool isOpen();

// Called with each box right before it runs; the box is open by the time queued calls run.
using Observer = std::function<void(QMessageBox& box)>;
void setObserver(Observer observer);

} // namespace MessageBox
