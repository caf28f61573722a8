#include "qtcompat.h"

#include <QGuiApplication>
#include <QMetaType>
#include <QSettings>

namespace QtCompat {

void enableHighDpiScaling()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#endif
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // Qt 6 would scale by fractions such as 1.25; Qt 5 rounds, and that is the
    // window people know.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::Round);
#endif
}

QString fromLocal8Bit(const char *bytes, int size)
{
#ifdef Q_OS_WIN
    return QString::fromLocal8Bit(bytes, size);
#else
    return QString::fromUtf8(bytes, size);
#endif
}

QByteArray toLocal8Bit(const QString &text)
{
#ifdef Q_OS_WIN
    return text.toLocal8Bit();
#else
    return text.toUtf8();
#endif
}

QStringList commandLineArguments(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return QCoreApplication::arguments();
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << fromLocal8Bit(argv[i], int(qstrlen(argv[i])));
    return arguments;
#endif
}

void storeSettingsTextAsUtf8(QSettings &settings)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#else
    Q_UNUSED(settings)
#endif
}

int metaTypeId(const char *typeName)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QMetaType::fromName(typeName).id();
#else
    return QMetaType::type(typeName);
#endif
}

} // namespace QtCompat
