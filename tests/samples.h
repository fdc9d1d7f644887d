#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Message files the tests share.

// The set of the format's own example: FRONT DOOR, BACK DOOR, an empty
// message, ZONE 4 to ZONE 8 and WELCOME; inputs 1, 2 and 5 open; port 2.
inline const QByteArray kWorkedExampleFile =
    "xFRONT DOOR\r\nxBACK DOOR\r\nx\r\nxZONE 4\r\nxZONE 5\r\nxZONE 6\r\n"
    "xZONE 7\r\nxZONE 8\r\nxWELCOME\r\n1\r\n1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n2\r\n";

// The worked example with line n (1-based) replaced.
inline QByteArray withLine(int n, const QByteArray &replacement)
{
    QList<QByteArray> lines = kWorkedExampleFile.split('\n');
    lines[n - 1] = replacement + '\r';
    return lines.join('\n');
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}
