// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

namespace api {

void getSchedule(Board &board, const Call &, const Answer &answer)
{
    HttpReply reply = jsonReply(200, board.scheduler.toJson());
    reply.headers.append({"ETag", quoted(board.scheduler.version())});
    answer(reply);
}

void putSchedule(Board &board, const Call &call, const Answer &answer)
{
    const QByteArray ifMatch = call.request.header("if-match");
    if (ifMatch.isEmpty())
        return answer(errorReply(428, QStringLiteral("Say which version of the schedule is changed (If-Match).")));
    SetStore::Refusal refusal;
    const auto version = board.scheduler.replace(call.body.value(QLatin1String("entries")), unquoted(ifMatch),
                                                 call.caller.who(), call.caller.address, &refusal);
    if (!version) {
        QJsonObject error{{"error", refusal.error}};
        // What the schedule is now, for the page to show beside the change.
        if (refusal.status == 412)
            error.insert(QLatin1String("schedule"), board.scheduler.toJson());
        return answer(jsonReply(refusal.status, error));
    }
    HttpReply reply = jsonReply(200, board.scheduler.toJson());
    reply.headers.append({"ETag", quoted(*version)});
    answer(reply);
}

}  // namespace api
