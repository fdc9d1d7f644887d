// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/calls.h"

#include <span>

// Who may call a route. A key of either scope may do what a send key may.
enum Access : unsigned {
    Anyone = 0,
    Person = 1u << 0,   // anyone signed in
    Owner = 1u << 1,    // the owner, signed in
    SendKey = 1u << 2,  // a script's key of either scope
    EditKey = 1u << 3,  // a key that may also save and delete sets
};

// What a route's request carries.
enum class Body {
    None,  // nothing it reads
    Json,  // a JSON object, or nothing at all
    Raw,   // bytes the handler reads as they are (a .mes file)
};

using Handler = void (*)(Board &board, const Call &call, const Answer &answer);

struct Route {
    const char *method;
    // Segments between slashes; "{}" stands for any one, handed on decoded.
    const char *pattern;
    unsigned access;
    Body body;
    // A try at a password or a code, which the throttle weighs.
    bool guess;
    Handler handler;
    // What only the owner may do here, for a refusal to staff.
    const char *ownersOnly;
};

// Every route the board's server answers.
std::span<const Route> routes();

// The route for `method` and `path`, with what its {} stood for; where none
// matches, `pathKnown` says whether another method would have. HEAD finds
// the GET route of the path, as HTTP has it.
const Route *findRoute(const QByteArray &method, const QString &path, QStringList *parts, bool *pathKnown);
// The methods a path is answered to, for a 405's Allow: HEAD wherever GET.
QByteArray allowedMethods(const QString &path);
