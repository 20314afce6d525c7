#include "typinglimitvalidator.h"

#include <QLineEdit>

#include <algorithm>

TypingLimitValidator::TypingLimitValidator(int limit, QLineEdit* edit)
    : QValidator(edit), m_limit(limit),
      m_allowed(std::max(limit, static_cast<int>(edit->text().size())))
{
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_allowed = std::max(m_limit, static_cast<int>(text.size()));
    });
}

QValidator::State TypingLimitValidator::validate(QString& input, int& pos) const
{
    const int excess = static_cast<int>(input.size()) - m_allowed;
    if (excess <= 0)
        return Acceptable;
    // Keep what fits of the inserted text (it ends at the cursor), as a paste into a full
    // box on Windows does.
    const int cut = std::min(excess, pos);
    input.remove(pos - cut, cut);
    pos -= cut;
    return input.size() <= m_allowed ? Acceptable : Invalid;
}
