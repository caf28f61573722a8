#include "lineaddress.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

const QString passwordKey = QStringLiteral("password");

bool isKeyword(const QString &key)
{
    static const QRegularExpression form(QStringLiteral("^[a-z_]+$"));
    return form.match(key).hasMatch();
}

QString decoded(const QString &piece)
{
    return QUrl::fromPercentEncoding(piece.toUtf8());
}

// libpq's quoting: single quotes, with backslash before a quote or a backslash.
QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

} // namespace

LineAddress LineAddress::parse(const QString &text)
{
    LineAddress address;
    // The driver takes the connection string with ';' turned into spaces.
    if (text.contains(QLatin1Char(';')))
        address.m_problem = QStringLiteral("an address may not contain ';'");
    else if (text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://")))
        address.parseUri(text);
    else if (text.contains(QLatin1Char('=')))
        address.parseKeywords(text);
    else
        address.m_problem = QStringLiteral("not a postgresql:// URI nor a key=value connection string");
    if (!address.isValid())
        address.m_parameters.clear();
    return address;
}

bool LineAddress::add(const QString &key, const QString &value)
{
    if (!isKeyword(key)) {
        m_problem = QStringLiteral("\"%1\" is not a connection keyword").arg(key);
        return false;
    }
    m_parameters.append({key, value});
    return true;
}

bool LineAddress::parseUri(const QString &text)
{
    const int schemeEnd = text.indexOf(QLatin1String("://")) + 3;
    QString rest = text.mid(schemeEnd);
    QString query;
    const int queryStart = rest.indexOf(QLatin1Char('?'));
    if (queryStart >= 0) {
        query = rest.mid(queryStart + 1);
        rest.truncate(queryStart);
    }
    QString path;
    const int pathStart = rest.indexOf(QLatin1Char('/'));
    if (pathStart >= 0) {
        path = rest.mid(pathStart + 1);
        rest.truncate(pathStart);
    }
    QString hosts = rest;
    QString shownUser;
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        hosts = rest.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        shownUser = colon >= 0 ? userInfo.left(colon) : userInfo;
        if (!shownUser.isEmpty() && !add(QStringLiteral("user"), decoded(shownUser)))
            return false;
        if (colon >= 0 && !add(passwordKey, decoded(userInfo.mid(colon + 1))))
            return false;
    }
    // Each host may carry its port; libpq pairs the two lists by position.
    QStringList hostNames;
    QStringList ports;
    bool anyPort = false;
    for (const QString &hostPort : hosts.split(QLatin1Char(','))) {
        const int portStart = hostPort.lastIndexOf(QLatin1Char(':'));
        const bool hasPort = portStart >= 0 && !hostPort.mid(portStart).contains(QLatin1Char(']'));
        QString host = hasPort ? hostPort.left(portStart) : hostPort;
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        hostNames << decoded(host);
        ports << (hasPort ? hostPort.mid(portStart + 1) : QString());
        anyPort = anyPort || hasPort;
    }
    if (!hosts.isEmpty() && !add(QStringLiteral("host"), hostNames.join(QLatin1Char(','))))
        return false;
    if (anyPort && !add(QStringLiteral("port"), ports.join(QLatin1Char(','))))
        return false;
    if (!path.isEmpty() && !add(QStringLiteral("dbname"), decoded(path)))
        return false;
    QStringList shownQuery;
    for (const QString &pair : query.split(QLatin1Char('&'))) {
        if (pair.isEmpty())
            continue;
        const int equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            m_problem = QStringLiteral("\"%1\" in the URI's query is not key=value").arg(pair);
            return false;
        }
        const QString key = decoded(pair.left(equals));
        if (!add(key, decoded(pair.mid(equals + 1))))
            return false;
        if (key != passwordKey)
            shownQuery << pair;
    }
    m_display = text.left(schemeEnd) + (shownUser.isEmpty() ? QString() : shownUser + QLatin1Char('@'))
        + hosts + (pathStart >= 0 ? QLatin1Char('/') + path : QString())
        + (shownQuery.isEmpty() ? QString() : QLatin1Char('?') + shownQuery.join(QLatin1Char('&')));
    return true;
}

bool LineAddress::parseKeywords(const QString &text)
{
    QStringList shown;
    int i = 0;
    const auto skipSpaces = [&] {
        while (i < text.size() && text.at(i).isSpace())
            ++i;
    };
    while (skipSpaces(), i < text.size()) {
        const int keyStart = i;
        while (i < text.size() && text.at(i) != QLatin1Char('=') && !text.at(i).isSpace())
            ++i;
        const QString key = text.mid(keyStart, i - keyStart);
        skipSpaces();
        if (i >= text.size() || text.at(i) != QLatin1Char('=')) {
            m_problem = QStringLiteral("missing \"=\" after \"%1\"").arg(key);
            return false;
        }
        ++i;
        skipSpaces();
        QString value;
        if (i < text.size() && text.at(i) == QLatin1Char('\'')) {
            ++i;
            while (i < text.size() && text.at(i) != QLatin1Char('\'')) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size())
                    ++i;
                value += text.at(i++);
            }
            if (i >= text.size()) {
                m_problem = QStringLiteral("unterminated quoted value of \"%1\"").arg(key);
                return false;
            }
            ++i;
        } else {
            while (i < text.size() && !text.at(i).isSpace())
                value += text.at(i++);
        }
        if (!add(key, value))
            return false;
        if (key != passwordKey)
            shown << key + QLatin1Char('=') + quoted(value);
    }
    m_display = shown.join(QLatin1Char(' '));
    return true;
}

QString LineAddress::connectionString() const
{
    // libpq waits for a host that does not answer as long as the system
    // does (a quarter of an hour for a connection that was up): a station
    // waits for its line no longer than this, unless told otherwise. The
    // keepalives find a connection gone while it is idle.
    QVector<QPair<QString, QString>> defaults {
        {QStringLiteral("connect_timeout"), QString::number(defaultConnectTimeoutSeconds)},
        {QStringLiteral("keepalives_idle"), QStringLiteral("10")},
        {QStringLiteral("keepalives_interval"), QStringLiteral("5")},
        {QStringLiteral("keepalives_count"), QStringLiteral("3")},
        {QStringLiteral("tcp_user_timeout"), QString::number(defaultConnectTimeoutSeconds * 2000)},
    };
    QStringList pairs;
    for (const auto &parameter : m_parameters) {
        pairs << parameter.first + QLatin1Char('=') + quoted(parameter.second);
        defaults.erase(
            std::remove_if(defaults.begin(), defaults.end(),
                [&](const QPair<QString, QString> &each) { return each.first == parameter.first; }),
            defaults.end());
    }
    for (const auto &parameter : defaults)
        pairs << parameter.first + QLatin1Char('=') + parameter.second;
    return pairs.join(QLatin1Char(' '));
}
