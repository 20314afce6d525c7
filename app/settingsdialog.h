#pragma once

#include <QDialog>

#include <functional>

struct SaveResult;
struct AppSettings;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The connection settings dialog. Made afresh each time it opens, so it always starts from the
// record's current values; only "Speichern" copies the fields back and saves.
class SettingsDialog final : public QDialog
{
    Q_OBJECT
public:
    // `settings` is the program's record; `saveSettings` writes it (and the live column
    // widths) to Settings.ini and says whether that worked. Both outlive the dialog.
    SettingsDialog(AppSettings& settings, std::function<SaveResult()> saveSettings,
                   QWidget* parent = nullptr);

private slots:
    void cmdSave_Click();

private:
    AppSettings& m_settings;
    std::function<SaveResult()> m_saveSettings;
    QLineEdit* txtLocAET;
    QGroupBox* Frame1;
    QLineEdit* txtAET;
    QLineEdit* txtIP;
    QLineEdit* txtPort;
    QPushButton* cmdSave;
    QPushButton* cmdCancel;
};
