// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

#include "link/upload.h"

#include <QJsonArray>
#include <QUrl>

namespace {

// The set a route names, and whether it asks for its .mes file.
struct Named {
    QString name;
    bool mesFile = false;
};

std::optional<Named> named(const Call &call, const Answer &answer)
{
    Named n{call.parts.value(0), false};
    if (n.name.endsWith(QLatin1String(".mes"))) {
        n.name.chop(4);
        n.mesFile = true;
    }
    if (!SetStore::isSetName(n.name)) {
        answer(errorReply(400, QStringLiteral("A set's name is 1 to 40 letters, digits, spaces, - or _.")));
        return std::nullopt;
    }
    return n;
}

std::optional<QByteArray> ifMatch(const HttpRequest &request)
{
    const QByteArray tag = request.header("if-match");
    return tag.isEmpty() ? std::nullopt : std::optional<QByteArray>(unquoted(tag));
}

}  // namespace

namespace api {

void listSets(Board &board, const Call &, const Answer &answer)
{
    QJsonArray list;
    for (const auto &[name, version] : board.sets.list())
        list.append(QJsonObject{{"name", name}, {"version", QString::fromLatin1(version)}});
    answer(jsonReply(200, list));
}

void getSet(Board &board, const Call &call, const Answer &answer)
{
    const auto n = named(call, answer);
    if (!n)
        return;
    SetStore::Refusal refusal;
    if (n->mesFile) {
        const QByteArray file = board.sets.file(n->name, &refusal);
        if (refusal)
            return answer(errorReply(refusal.status, refusal.error));
        HttpReply reply{200, "application/x-tavro-messages", file, {}};
        reply.headers.append({"ETag", quoted(SetStore::versionOf(file))});
        reply.headers.append(
            {"Content-Disposition", "attachment; filename=\"" + QUrl::toPercentEncoding(n->name) + ".mes\""});
        return answer(reply);
    }
    const auto set = board.sets.get(n->name, &refusal);
    if (!set)
        return answer(errorReply(refusal.status, refusal.error));
    QJsonObject json = SetStore::toJson(*set);
    // What a send of it takes, so the page can say so before it starts.
    MessageSet record = SetStore::messageSet(*set);
    upload::begin(record);
    json.insert(QLatin1String("seconds"), upload::secondsLeft(upload::progress(record, board.sender.tickMs())));
    HttpReply reply = jsonReply(200, json);
    reply.headers.append({"ETag", quoted(set->version)});
    answer(reply);
}

void putSet(Board &board, const Call &call, const Answer &answer)
{
    const auto n = named(call, answer);
    if (!n)
        return;
    const bool createOnly = call.request.header("if-none-match").trimmed() == "*";
    SetStore::Refusal refusal;
    QByteArray version;
    const QString &who = call.caller.who(), &address = call.caller.address;
    if (n->mesFile)
        version =
            board.importSet(n->name, call.request.body, ifMatch(call.request), createOnly, who, address, &refusal);
    else
        version = board.saveSet(n->name, call.body, ifMatch(call.request), createOnly, who, address, &refusal);
    if (refusal)
        return answer(errorReply(refusal.status, refusal.error));
    HttpReply reply =
        jsonReply(createOnly ? 201 : 200, QJsonObject{{"name", n->name}, {"version", QString::fromLatin1(version)}});
    reply.headers.append({"ETag", quoted(version)});
    answer(reply);
}

void deleteSet(Board &board, const Call &call, const Answer &answer)
{
    const auto n = named(call, answer);
    if (!n)
        return;
    const auto expected = ifMatch(call.request);
    if (!expected)
        return answer(errorReply(428, QStringLiteral("Say which version of the set is deleted (If-Match).")));
    SetStore::Refusal refusal;
    if (!board.deleteSet(n->name, *expected, call.caller.who(), call.caller.address, &refusal))
        return answer(errorReply(refusal.status, refusal.error));
    answer({204, {}, {}, {}});
}

}  // namespace api
