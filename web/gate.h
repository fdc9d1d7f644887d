// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/routes.h"

#include <optional>

// The one place that judges a request before any handler sees it, in one
// order: its route (404, 405), where it comes from (Origin, Referer), its
// body's form, who sends it (a key, or a session's cookie), the session's
// CSRF token for a change, the throttle for a guess, and whether the route
// is for such a caller. The request's Host has been judged by the HTTP
// server before this, for every listening socket alike. A handler is
// handed the call as found here and judges none of it again.
class Gate {
public:
    explicit Gate(Board &board) : m_board(board) {}
    struct Verdict {
        const Route *route = nullptr;  // null: refused
        std::optional<Call> call;
        HttpReply refusal;
    };
    Verdict judge(const HttpRequest &request);

private:
    Board &m_board;
};
