#pragma once

#include <QList>
#include <QString>

namespace talvorine {

// A PIN entered digit by digit with arrow keys: the caret moves without wrapping, the digit
// under it steps around 0..9.
class PinEntryModel {
public:
    static constexpr int minimumLength = 4;
    static constexpr int maximumLength = 8;

    explicit PinEntryModel(int length);

    void reset();
    void moveCaret(int delta);
    int caret() const { return caret_; }
    int length() const { return int(digits_.size()); }
    void stepDigit(int delta);
    // The digit under the caret and a bullet for every other, separated by spaces, so the
    // screen never shows the whole PIN.
    QString display() const;
    QString value() const;

private:
    QList<int> digits_;
    int caret_ = 0;
};

} // namespace talvorine
