// Draws the program's pictures: the device picture in its four sizes, the
// About button's information icon, and the Windows icon file. Run it once after
// changing the drawing and commit its output:
//   icongen <folder of src/ui/resources> <folder for app.ico>

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

namespace {

const QColor vantorRed(175, 31, 36);

// A stylised device: a dark rounded case with a red band, a status light and a
// USB plug at its top.
QImage devicePicture(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 150, 150));
    p.drawRect(QRectF(50, 4, 28, 20));
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(56, 10, 6, 6));
    p.drawRect(QRectF(66, 10, 6, 6));

    QPainterPath body;
    body.addRoundedRect(QRectF(26, 22, 76, 102), 14, 14);
    p.setPen(QPen(QColor(20, 20, 20), 3));
    p.setBrush(QColor(48, 48, 52));
    p.drawPath(body);

    p.setPen(Qt::NoPen);
    p.setBrush(vantorRed);
    p.drawRect(QRectF(28, 58, 72, 22));
    p.setBrush(Qt::white);
    QPainterPath v;
    v.moveTo(52, 62);
    v.lineTo(64, 77);
    v.lineTo(76, 62);
    v.lineTo(70, 62);
    v.lineTo(64, 70);
    v.lineTo(58, 62);
    v.closeSubpath();
    p.drawPath(v);

    p.setBrush(QColor(60, 200, 90));
    p.drawEllipse(QPointF(64, 104), 6, 6);
    return image;
}

QImage informationIcon()
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 70, 150), 1));
    p.setBrush(QColor(40, 110, 210));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(6.5, 3, 3, 3));
    p.drawRect(QRectF(7, 7, 2, 6));
    return image;
}

bool save(const QImage &image, const QString &path, const char *format)
{
    QImageWriter writer(path, format);
    if (writer.write(image))
        return true;
    QTextStream(stderr) << "icongen: cannot write " << path << ": " << writer.errorString() << '\n';
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        QTextStream(stderr) << "usage: icongen RESOURCE_DIR ICO_DIR\n";
        return 2;
    }
    const QString resources = QString::fromLocal8Bit(argv[1]);
    const QString icoDir = QString::fromLocal8Bit(argv[2]);

    bool ok = save(informationIcon(), resources + "/icons/information.png", "png");
    ok = save(devicePicture(128), resources + "/Vantor/icon.png", "png") && ok;
    for (int size : {16, 32, 90})
        ok = save(devicePicture(size), QStringLiteral("%1/Vantor/icon-%2x%2.png").arg(resources).arg(size),
                 "png")
            && ok;
    ok = save(devicePicture(32), icoDir + "/app.ico", "ico") && ok;
    return ok ? 0 : 1;
}
