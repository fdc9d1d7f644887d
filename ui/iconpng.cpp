// SPDX-License-Identifier: GPL-3.0-or-later
// Build step: writes the window icon as the PNG that Linux desktops show
// for the installed program, or as the .ico that Windows shows for it.
#include "ui/icon.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>

#include <cstdio>

namespace {

// An icon file of the picture at the sizes Explorer asks for, each stored
// as a PNG, which Windows reads from Vista on.
QByteArray icoFile(const QImage &image)
{
    const int sizes[] = {16, 32, 48, 64, 256};
    QList<QByteArray> pngs;
    for (int size : sizes) {
        // The picture is pixel art: enlarged, its pixels stay sharp.
        const QImage scaled = image.scaled(size, size, Qt::IgnoreAspectRatio,
                                           size < image.width() ? Qt::SmoothTransformation : Qt::FastTransformation);
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        scaled.save(&png, "PNG");
        pngs << png.data();
    }
    QByteArray ico;
    QDataStream out(&ico, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(pngs.size());
    quint32 offset = 6 + 16 * quint32(pngs.size());
    for (qsizetype i = 0; i < pngs.size(); ++i) {
        const quint8 side = sizes[i] >= 256 ? 0 : quint8(sizes[i]);  // 0 stands for 256
        out << side << side << quint8(0) << quint8(0) << quint16(1) << quint16(32) << quint32(pngs[i].size()) << offset;
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray &png : pngs)
        out.writeRawData(png.constData(), int(png.size()));
    return ico;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png|OUTPUT.ico\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    if (!output.endsWith(QLatin1String(".ico")))
        return tavroIconImage().save(output, "PNG") ? 0 : 1;
    QFile file(output);
    const QByteArray ico = icoFile(tavroIconImage().convertToFormat(QImage::Format_ARGB32));
    return file.open(QIODevice::WriteOnly) && file.write(ico) == ico.size() ? 0 : 1;
}
