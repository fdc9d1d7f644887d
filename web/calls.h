// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/board.h"
#include "web/httpserver.h"

#include <QJsonObject>
#include <QStringList>

#include <chrono>
#include <optional>

// The session cookie's name.
inline constexpr const char *kSessionCookie = "pelorin_session";

// Who a request is from, as the gate found it: a signed-in person, a
// script's key, or no one yet. Copies, not pointers into the stores, as a
// handler may change the stores before it has finished with its caller.
struct Caller {
    std::optional<AccountStore::Account> account;
    QByteArray cookie;  // the session's, for a person
    std::optional<KeyStore::Key> key;
    QString address;
    // As the log names them.
    QString who() const { return key ? QStringLiteral("key ") + key->name : account ? account->name : QString(); }
    bool owner() const { return account && account->role == AccountStore::Role::Owner; }
};

// A request that the gate has let through, with what it found.
struct Call {
    HttpRequest request;  // its own copy, as an answer may come later
    Caller caller;
    QJsonObject body;   // a JSON body's object, where the route takes one
    QStringList parts;  // what the route's {} stood for, decoded
    // For a sign-in, a setup or a password change: the account it is for,
    // and whether the browser is a trusted device of it.
    QString guessed;
    bool trusted = false;
};

using Answer = BoardHttpServer::Answer;

// A JSON answer, and one that says what went wrong in words a person can
// act on.
HttpReply jsonReply(int status, const QJsonValue &value);
HttpReply errorReply(int status, const QString &error);
// A refusal while the throttle makes an address wait; `text` has %1 for
// the seconds.
HttpReply waitReply(const QString &text, std::chrono::seconds wait);
// A cookie's value in a request; empty where it sends none.
QByteArray cookieValue(const HttpRequest &request, const QByteArray &name);
inline QByteArray deviceCookie(const HttpRequest &request) { return cookieValue(request, TrustedDevices::kCookie); }
// What the log calls a device cookie: a digest, which signs nothing in.
QString deviceId(const QByteArray &cookie);
// An entity tag as HTTP writes it, and back.
QByteArray quoted(const QByteArray &version);
QByteArray unquoted(QByteArray tag);
