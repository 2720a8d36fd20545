#pragma once

// The texts of the pairing screen: the six-character code grouped for the eye and spelled out
// for screen readers, the time the code expires and the time since when the screen is offline.

#include <QDateTime>
#include <QString>

namespace talvorine {

class PairingDisplay {
public:
    // The characters a pairing code is made of: no 0, 1, I, L or O, which read alike.
    static constexpr const char* locatorAlphabet = "23456789ABCDEFGHJKMNPQRSTUVWXYZ";

    // "ABC 234" for a displayable code (six characters of the alphabet); anything else unchanged.
    static QString groupLocator(const QString& code);
    // "Pairing code A B C, 2 3 4"; an undisplayable code is spelled whole, "-" as "dash".
    static QString spokenLocator(const QString& code);
    // expiresAt as a local clock time ("9:05am") while it lies 1 ms to 12 minutes after now;
    // empty otherwise (the code is about to be replaced, or the values are implausible).
    static QString expiryClockTime(const QDateTime& expiresAt, const QDateTime& now);
    // since as a local clock time while it lies within one day before now (two minutes after
    // now still count, for clock skew) and after the epoch; empty otherwise.
    static QString offlineSinceClock(const QDateTime& since, const QDateTime& now);
};

} // namespace talvorine
