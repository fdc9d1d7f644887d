// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "eventloop.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

// What a server on this machine answers `request` on a connection of its
// own: the status line, headers and body, once the answer is whole or the
// connection is closed. With `pauseMs`, `rest` follows after that pause.
// A request for the server on this machine's loopback address; a body,
// even an empty one, is sent with its length.
inline QByteArray request(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                          const QByteArray &headers = {})
{
    QByteArray r = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (!body.isNull())
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

inline QByteArray answerOn(QTcpSocket &client, const QByteArray &request, int pauseMs = 0, const QByteArray &rest = {})
{
    client.write(request);
    // An answer to HEAD names its body's length, and sends no body.
    const bool head = request.startsWith("HEAD ");
    QByteArray answer;
    if (pauseMs > 0) {
        runUntil([&] { return answer += client.readAll(), false; }, pauseMs);
        client.write(rest);
    }
    const auto whole = [&] {
        answer += client.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (end < 0)
            return client.state() == QAbstractSocket::UnconnectedState;
        const qsizetype at = answer.toLower().indexOf("content-length:");
        const qsizetype length =
            at < 0 || head ? 0 : answer.mid(at + 15, answer.indexOf('\r', at) - at - 15).trimmed().toInt();
        return answer.size() >= end + 4 + length || client.state() == QAbstractSocket::UnconnectedState;
    };
    // A password check, on a loaded machine, may take seconds: a slow
    // answer is no wrong one.
    runUntil(whole, 30000);
    return answer;
}

inline QByteArray exchange(quint16 port, const QByteArray &request, int pauseMs = 0, const QByteArray &rest = {})
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    // A refused connection may be answered and closed before the client
    // sees it connected.
    runUntil([&] { return client.state() == QAbstractSocket::ConnectedState || client.bytesAvailable() > 0; }, 5000);
    return answerOn(client, request, pauseMs, rest);
}

inline int statusOf(const QByteArray &answer) { return answer.mid(9, 3).toInt(); }

// A header's value in an answer, by its name in any case.
inline QByteArray headerOf(const QByteArray &answer, const QByteArray &name)
{
    for (const QByteArray &line : answer.left(answer.indexOf("\r\n\r\n")).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

inline QByteArray bodyOf(const QByteArray &answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }
