#pragma once

#include <QValidator>

class QLineEdit;

// A length limit that only stops typing and pasting, like a Windows edit box's limit:
// a longer text set by the program (an AE title from Settings.ini) is shown in full and can
// be shortened, but never made longer. QLineEdit::setMaxLength would cut it instead.
class TypingLimitValidator final : public QValidator
{
    Q_OBJECT
public:
    // Install it after the program has set the edit's text: QLineEdit validates setText() too.
    TypingLimitValidator(int limit, QLineEdit* edit);

    State validate(QString& input, int& pos) const override;

private:
    int m_limit;
    int m_allowed; // the limit, or the length of a longer text set by the program
};
