#include "settingsdialog.h"

#include "twips.h"
#include "typinglimitvalidator.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

constexpr int aeTitleLimit = 16;

} // namespace

SettingsDialog::SettingsDialog(const ConnectionFields& current, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmSettings"));
    setWindowTitle(QStringLiteral("Settings"));
    setFont(arialFont(12, true));
    const double dpi = logicalDpiX();
    setFixedSize(Twips::toPixels(4395, dpi), Twips::toPixels(3450, dpi));

    // Each label names its box, also for screen readers.
    auto makeLabel = [this](QWidget* parent, const QString& caption, double left, double top,
                            QWidget* box) {
        auto* label = new QLabel(caption, parent);
        label->setObjectName(QStringLiteral("lblSettings"));
        label->move(Twips::toPixels(left, logicalDpiX()), Twips::toPixels(top, logicalDpiX()));
        label->adjustSize();
        label->setBuddy(box);
        return label;
    };
    auto makeEdit = [this](QWidget* parent, const char* name) {
        auto* edit = new QLineEdit(parent);
        edit->setObjectName(QLatin1String(name));
        return edit;
    };

    txtLocAET = makeEdit(this, "txtLocAET");
    Twips::place(txtLocAET, 1890, 90, 2310, 405);
    makeLabel(this, QStringLiteral("Lokaler AET"), 315, 135, txtLocAET);

    Frame1 = new QGroupBox(QStringLiteral("Worklist"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Twips::place(Frame1, 180, 630, 4155, 2040);
    txtAET = makeEdit(Frame1, "txtAET");
    Twips::place(txtAET, 1710, 360, 2310, 405);
    txtIP = makeEdit(Frame1, "txtIP");
    Twips::place(txtIP, 1710, 900, 2310, 405);
    txtPort = makeEdit(Frame1, "txtPort");
    Twips::place(txtPort, 1710, 1395, 2310, 405);
    makeLabel(Frame1, QStringLiteral("AET"), 180, 450, txtAET);
    makeLabel(Frame1, QStringLiteral("IP"), 180, 990, txtIP);
    makeLabel(Frame1, QStringLiteral("Port"), 180, 1440, txtPort);

    cmdSave = new QPushButton(QStringLiteral("Speichern"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    Twips::place(cmdSave, 1170, 2745, 1545, 645);
    cmdSave->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Abbrechen"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    Twips::place(cmdCancel, 2790, 2745, 1545, 645);
    // A focused button takes Enter, as on Windows: Enter on "Abbrechen" cancels. Elsewhere
    // Enter goes to the default button, "Speichern".
    cmdSave->setAutoDefault(true);
    cmdCancel->setAutoDefault(true);

    setTabOrder(txtLocAET, txtAET);
    setTabOrder(txtAET, txtIP);
    setTabOrder(txtIP, txtPort);
    setTabOrder(txtPort, cmdSave);
    setTabOrder(cmdSave, cmdCancel);

    connect(cmdSave, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    txtAET->setText(current.AET);
    txtPort->setText(current.Port);
    txtIP->setText(current.IP);
    txtLocAET->setText(current.LocalAET);
    txtLocAET->setValidator(new TypingLimitValidator(aeTitleLimit, txtLocAET));
    txtAET->setValidator(new TypingLimitValidator(aeTitleLimit, txtAET));
    txtLocAET->setFocus();
}

ConnectionFields SettingsDialog::values() const
{
    return {txtLocAET->text(), txtAET->text(), txtIP->text(), txtPort->text()};
}

void SettingsDialog::showEvent(QShowEvent* event)
{
    // Not QDialog's own: that one moves the dialog to the middle of its owner.
    QWidget::showEvent(event);
}
