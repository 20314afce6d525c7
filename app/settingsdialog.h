#pragma once

#include <QDialog>
#include <QString>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The four connection values the dialog edits, exactly as typed.
struct ConnectionFields
{
    QString LocalAET;
    QString AET;
    QString IP;
    QString Port;
};

// The connection settings dialog. Made afresh each time it opens, so it always starts from the
// values it is given; "Speichern" accepts it and the caller takes values() and saves them,
// "Abbrechen" rejects it. It holds nothing of the caller's.
class SettingsDialog final : public QDialog
{
    Q_OBJECT
public:
    explicit SettingsDialog(const ConnectionFields& current, QWidget* parent = nullptr);

    [[nodiscard]] ConnectionFields values() const;

protected:
    // Goes where the window system places new windows: QDialog would centre it on its owner.
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* txtLocAET;
    QGroupBox* Frame1;
    QLineEdit* txtAET;
    QLineEdit* txtIP;
    QLineEdit* txtPort;
    QPushButton* cmdSave;
    QPushButton* cmdCancel;
};
