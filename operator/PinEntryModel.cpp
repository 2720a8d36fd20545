#include "operator/PinEntryModel.h"

#include <QStringList>

#include <algorithm>

namespace talvorine {

PinEntryModel::PinEntryModel(int length)
    : digits_(std::clamp(length, minimumLength, maximumLength), 0)
{
}

void PinEntryModel::reset()
{
    std::fill(digits_.begin(), digits_.end(), 0);
    caret_ = 0;
}

void PinEntryModel::moveCaret(int delta)
{
    // Widened so that an extreme delta cannot overflow on its way to the clamp.
    const qint64 moved = qint64(caret_) + delta;
    caret_ = int(std::clamp<qint64>(moved, 0, std::max(length() - 1, 0)));
}

void PinEntryModel::stepDigit(int delta)
{
    if (digits_.isEmpty())
        return;
    int& digit = digits_[caret_];
    digit = int(((qint64(digit) + delta) % 10 + 10) % 10);
}

QString PinEntryModel::display() const
{
    QStringList symbols;
    for (int i = 0; i < length(); ++i)
        symbols.append(i == caret_ ? QString::number(digits_[i]) : QStringLiteral("\u2022"));
    return symbols.join(QLatin1Char(' '));
}

QString PinEntryModel::value() const
{
    QString text;
    for (int digit : digits_)
        text.append(QChar(u'0' + digit));
    return text;
}

} // namespace talvorine
