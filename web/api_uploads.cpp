// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/api.h"

#include "link/serialdevices.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// What the page tells a person to do after a failure.
const NextStep kPageNextStep{QStringLiteral("press Send again"), QStringLiteral("restart the board's server"), {}};

}  // namespace

namespace api {

void status(Board &board, const Call &, const Answer &answer) { answer(jsonReply(200, board.status())); }

void send(Board &board, const Call &call, const Answer &answer)
{
    SetStore::Refusal refusal;
    if (!board.send(call.body.value(QLatin1String("set")).toString(), call.caller.who(), call.caller.address,
                    kPageNextStep, &refusal))
        return answer(errorReply(refusal.status, refusal.error));
    answer(jsonReply(202, board.status()));
}

void stop(Board &board, const Call &call, const Answer &answer)
{
    if (!board.sender.busy())
        return answer(errorReply(409, QStringLiteral("Nothing is being sent.")));
    board.sender.stop();
    const upload::Progress p = board.sender.progress();
    board.record(call.caller.who(), call.caller.address, QStringLiteral("send stopped"), board.upload.set);
    board.ended(QStringLiteral("stopped"), false,
                QStringLiteral("Stopped after %1 of %2 characters: the board may now hold part "
                               "of the set; send the whole set again.")
                    .arg(p.sent)
                    .arg(p.total));
    answer(jsonReply(200, board.status()));
}

void ports(Board &, const Call &, const Answer &answer)
{
    QList<SerialDevice> devices = serialDevices();
    assessAccess(devices);
    QJsonArray list;
    for (const SerialDevice &d : devices) {
        list.append(QJsonObject{{"port", d.port},
                                {"device", d.device},
                                {"stable_name", d.stableName},
                                {"state", d.state},
                                {"why", d.why},
                                {"description", d.description()}});
    }
    answer(jsonReply(200, list));
}

void getBoard(Board &board, const Call &, const Answer &answer)
{
    QJsonObject o{{"device", board.device}, {"fixed", board.deviceFixed}};
    if (!board.broker.isEmpty())
        o.insert(QLatin1String("broker"), board.broker);
    answer(jsonReply(200, o));
}

void putBoard(Board &board, const Call &call, const Answer &answer)
{
    if (board.deviceFixed)
        return answer(errorReply(
            409,
            QStringLiteral("The board's port is given where the server is started (--port %1).").arg(board.device)));
    const QString device = call.body.value(QLatin1String("device")).toString();
    if (device.isEmpty() || device.size() > 200 || (!device.startsWith(QLatin1Char('/')) && portNumber(device) == 0))
        return answer(errorReply(400, QStringLiteral("device: a port from 1 to 4, or a device such as /dev/ttyUSB0.")));
    QString why;
    if (!board.save(QStringLiteral("settings.json"), QJsonDocument(QJsonObject{{"device", device}}).toJson(), &why))
        return answer(errorReply(500, why));
    board.device = device;
    board.record(call.caller.who(), call.caller.address, QStringLiteral("port chosen"), device);
    answer(jsonReply(200, QJsonObject{{"device", board.device}, {"fixed", false}}));
}

}  // namespace api
