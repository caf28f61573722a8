#include "serialrange.h"

#include <QRegularExpression>

namespace {

// A device keeps its serial in a field of 16 bytes.
constexpr int maxSerialBytes = 16;

} // namespace

SerialRange SerialRange::parse(const QString &pattern)
{
    SerialRange range;
    static const QRegularExpression form(QStringLiteral("^(.*)\\{([0-9]+)\\.\\.([0-9]+)\\}$"));
    // What a device's serial field and a command line both take: printable ASCII, no space or brace.
    static const QRegularExpression prefixForm(QStringLiteral("^[\\x21-\\x7a|~]*$"));
    const QRegularExpressionMatch match = form.match(pattern);
    if (!match.hasMatch())
        return range;
    if (!prefixForm.match(match.captured(1)).hasMatch()) {
        range.m_problem = Problem::PrefixNotPrintable;
        return range;
    }
    const QString first = match.captured(2);
    const QString last = match.captured(3);
    if (first.size() != last.size() || first.size() > 12) {
        range.m_problem = Problem::DigitCounts;
        return range;
    }
    range.m_prefix = match.captured(1);
    range.m_digits = first.size();
    range.m_first = first.toLongLong();
    range.m_last = last.toLongLong();
    if (range.m_last < range.m_first)
        range.m_problem = Problem::LastBelowFirst;
    else if (range.m_prefix.toLatin1().size() + range.m_digits > maxSerialBytes)
        range.m_problem = Problem::TooLong;
    else
        range.m_problem = Problem::None;
    return range;
}

QString SerialRange::pattern() const
{
    return QStringLiteral("%1{%2..%3}")
        .arg(m_prefix, serial(m_first).mid(m_prefix.size()), serial(m_last).mid(m_prefix.size()));
}

QString SerialRange::serial(qint64 n) const
{
    return m_prefix + QStringLiteral("%1").arg(n, m_digits, 10, QLatin1Char('0'));
}

qint64 SerialRange::numberOf(const QString &serial) const
{
    if (!isValid() || serial.size() != m_prefix.size() + m_digits || !serial.startsWith(m_prefix))
        return -1;
    const QString digits = serial.mid(m_prefix.size());
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    }
    const qint64 n = digits.toLongLong();
    return n >= m_first && n <= m_last ? n : -1;
}
