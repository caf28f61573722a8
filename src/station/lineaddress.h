#pragma once

// Where the line database is: a libpq connection string ("host=... dbname=...")
// or URI ("postgresql://user@host:port/db?sslmode=require"), as the user gave
// it. The password is left to libpq's own means (PGPASSWORD, the password
// file); one written into the address is passed on but never shown. Any thread.

#include <QPair>
#include <QString>
#include <QVector>

class LineAddress
{
public:
    // The address text names; isValid() is false and problem() says why
    // when it cannot be read.
    static LineAddress parse(const QString &text);

    bool isValid() const { return m_problem.isEmpty(); }
    const QString &problem() const { return m_problem; }
    // Seconds libpq waits for a connection when the address names no connect_timeout.
    static constexpr int defaultConnectTimeoutSeconds = 10;

    // The key=value connection string handed to the driver, password included.
    QString connectionString() const;
    // The address as given, without its password: safe to print or log.
    const QString &displayText() const { return m_display; }

private:
    bool parseUri(const QString &text);
    bool parseKeywords(const QString &text);
    bool add(const QString &key, const QString &value);

    QVector<QPair<QString, QString>> m_parameters;
    QString m_display;
    QString m_problem;
};
