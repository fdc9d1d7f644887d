// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/messageset.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Message files and upload streams the tests share.

// The upload of the board's own example: AB at level 1, X, six empty
// messages, and Z as the idle message.
inline const QByteArray kWorkedExampleStream =
    QByteArray::fromHex("310D310D41420D320D300D580D330D300D0D340D300D0D350D300D0D360D300D0D370D300D0D380D300D0D"
                        "390D5A0D51");
// The shortest upload: nine empty messages, every level 0.
inline const QByteArray kAllEmptyStream =
    QByteArray::fromHex("310D300D0D320D300D0D330D300D0D340D300D0D350D300D0D360D300D0D370D300D0D380D300D0D390D0D51");

// Nine empty messages, every level 0: the set of kAllEmptyStream.
inline MessageSet emptySet()
{
    MessageSet set;
    giveStartValues(set);
    for (int i = 1; i <= MessageSet::kSlots; ++i)
        set.messageText[i].clear();
    return set;
}

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
