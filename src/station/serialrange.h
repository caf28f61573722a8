#pragma once

// A range of serial numbers written as PREFIX{FIRST..LAST}, e.g.
// "ZOK{000100..000999}": the prefix, then a number of as many digits as
// FIRST has, zero-padded. Any thread.

#include <QString>

class SerialRange
{
public:
    SerialRange() = default;

    // The range a pattern names; isValid() is false and error() says why
    // when it names none (bad form, LAST below FIRST, digit counts that
    // differ, or serials longer than the 16 bytes a device keeps).
    static SerialRange parse(const QString &pattern);

    bool isValid() const { return m_error.isEmpty() && m_digits > 0; }
    QString error() const { return m_error; }
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
    QString m_error;
};
