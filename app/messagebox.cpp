#include "messagebox.h"

#include <QCoreApplication>

namespace {

MessageBox::Observer& observer()
{
    static MessageBox::Observer instance;
    return instance;
}

int openBoxes = 0;

void show(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("messageBox"));
    ++openBoxes;
    if (observer())
        observer()(box);
    box.exec();
    --openBoxes;
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

bool isOpen()
{
    return openBoxes > 0;
}

void setObserver(Observer newObserver)
{
    observer() = std::move(newObserver);
}

} // namespace MessageBox
