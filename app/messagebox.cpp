#include "messagebox.h"

#include <QCoreApplication>
#include <QPushButton>

namespace {

MessageBox::Observer& observer()
{
    static MessageBox::Observer instance;
    return instance;
}

int openFailureBoxes = 0;

// Runs `box` with the program's caption; returns the button the user pressed, or nullptr.
QAbstractButton* run(QMessageBox& box)
{
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setObjectName(QStringLiteral("messageBox"));
    if (observer())
        observer()(box);
    box.exec();
    return box.clickedButton();
}

void show(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QString(), text, QMessageBox::Ok, parent);
    const bool failure = icon == QMessageBox::Critical;
    openFailureBoxes += failure ? 1 : 0;
    run(box);
    openFailureBoxes -= failure ? 1 : 0;
}

} // namespace

namespace MessageBox {

void showStop(QWidget* parent, const QString& text)
{
    show(parent, QMessageBox::Critical, text);
}

void showInfo(QWidget* parent, const QString& text)
{
    show(parent, QMessageBox::Information, text);
}

bool askYesNo(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Question, QString(), text, QMessageBox::NoButton, parent);
    // German whatever Qt's own translation says; the mnemonics let J and N answer.
    QPushButton* yes = box.addButton(QStringLiteral("&Ja"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&Nein"), QMessageBox::NoRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    return run(box) == yes;
}

bool isFailureOpen()
{
    return openFailureBoxes > 0;
}

void setObserver(Observer newObserver)
{
    observer() = std::move(newObserver);
}

} // namespace MessageBox
