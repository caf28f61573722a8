#pragma once

// A range of serial numbers written as PREFIX{FIRST..LAST}, e.g.
// "ZOK{000100..000999}": the prefix, then a number of as many digits as
// FIRST has, zero-padded. Any thread.

#include <QString>

class SerialRange
{
public:
    // Why a pattern names no range; each front end words it for its reader.
    enum class Problem {
        None,
        // Not PREFIX{FIRST..LAST}.
        NotARange,
        // A prefix with other than printable ASCII (no spaces, no braces).
        PrefixNotPrintable,
        // FIRST and LAST differ in their number of digits, or have more than 12.
        DigitCounts,
        LastBelowFirst,
        // Serials longer than the 16 bytes a device keeps.
        TooLong,
    };

    SerialRange() = default;

    // The range a pattern names; isValid() is false and problem() says why
    // when it names none.
    static SerialRange parse(const QString &pattern);

    bool isValid() const { return m_problem == Problem::None && m_digits > 0; }
    Problem problem() const { return m_problem; }
    QString pattern() const;
    qint64 first() const { return m_first; }
    qint64 last() const { return m_last; }
    // The serial of number n of the range.
    QString serial(qint64 n) const;
    // The number of serial when it belongs to the range, else -1.
    qint64 numberOf(const QString &serial) const;
    bool contains(const QString &serial) const { return numberOf(serial) >= 0; }

private:
    QString m_prefix;
    int m_digits = 0;
    qint64 m_first = 0;
    qint64 m_last = -1;
    Problem m_problem = Problem::NotARange;
};
