// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/handler.h"

#include "service/board.h"

#include <QJsonDocument>
#include <QRandomGenerator>

namespace mqtt {

namespace {

// What a failure of a send asked for by MQTT tells whoever reads the result.
const NextStep kNextStep{
    QStringLiteral("publish the command again with a new id"), QStringLiteral("restart the board's server"), {}};

}  // namespace

Handler::Handler(Board &board, Topics topics, QString who, QString address, Publish publish)
    : m_board(board), m_topics(std::move(topics)), m_who(std::move(who)), m_address(std::move(address)),
      m_publish(std::move(publish))
{
}

void Handler::open()
{
    m_board.state.readWhole(
        QLatin1String(kIdsFile),
        [&](const QByteArray &bytes) {
            QString why;
            if (auto read = SeenIds::fromJson(bytes, &why))
                m_seen = std::move(*read);
            return why;
        },
        QStringLiteral("So that no command is acted on twice, the board acts on none by MQTT while that copy is "
                       "kept: one answered before may still be delivered again, for a day. Delete the copy a day "
                       "after it was kept aside, or sooner where a command repeated does no harm."));
    m_board.state.readWhole(
        QLatin1String(kSelectedFile),
        [&](const QByteArray &bytes) -> StateFolder::Reading {
            QJsonDocument document;
            if (QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document); !why.isEmpty())
                return why;
            const QJsonValue set = document.object().value(QLatin1String("set"));
            if (!set.isString())
                return QStringLiteral("no set's name");
            m_selected = set.toString();
            return {};
        },
        QStringLiteral("Home Assistant's Send button sends nothing until a set is chosen again."));
}

QString Handler::selected() const { return m_board.sets.has(m_selected) ? m_selected : QString(); }

void Handler::select(const QString &set, const ReplyTo &replyTo)
{
    if (!m_board.sets.has(set)) {
        answer(Result::refused({}, QStringLiteral("\"%1\" is no stored set.").arg(set)), replyTo);
        return;
    }
    m_selected = set;
    m_board.saveOrSay(QLatin1String(kSelectedFile), QJsonDocument(QJsonObject{{"set", set}}).toJson());
    if (m_onSelected)
        m_onSelected();
}

void Handler::take(const QString &topic, const QByteArray &payload, bool retained, const ReplyTo &replyTo)
{
    const QDateTime now = m_board.wallTime();
    const Parsed parsed = parse(m_topics, topic, payload, retained, now);
    if (parsed.refusal) {
        // A command acted on and delivered again later, once its expires
        // has passed say, is a duplicate: "refused" would say it was not
        // acted on.
        if (!retained && !parsed.refusal->id.isEmpty()) {
            if (const auto first = m_seen.find(parsed.refusal->id)) {
                duplicate(*first, replyTo);
                return;
            }
        }
        // A command refused before it was read whole is not remembered: a
        // retained one is refused again each time, and one with no id
        // cannot be.
        answer(*parsed.refusal, replyTo);
        return;
    }
    if (!parsed.command)
        return;
    Command command = *parsed.command;
    if (command.kind == Command::Select) {
        select(command.set, replyTo);
        return;
    }
    if (command.kind == Command::Press) {
        // A press carries no id: it is given one here, so that it is sent,
        // logged and answered as every send is. The broker hands a press
        // on once (QoS 2); two presses are two sends, the second refused
        // while the first runs.
        command.kind = Command::Send;
        command.id = QStringLiteral("press-%1-%2")
                         .arg(now.toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'")))
                         .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        command.set = selected();
        if (command.set.isEmpty()) {
            answer(Result::refused(command.id, QStringLiteral("No set is selected: choose one first.")), replyTo);
            return;
        }
    }
    if (const auto first = m_seen.find(command.id)) {
        duplicate(*first, replyTo);
        return;
    }
    if (!idsKnown()) {
        answer(Result::refused(command.id,
                               QStringLiteral("The record of the commands already acted on could not be read, so "
                                              "this one might have been acted on before; the board acts on no "
                                              "command by MQTT until its owner deals with it: see the owner's page "
                                              "or the journal.")),
               replyTo);
        return;
    }
    const Result result = act(command);
    if (result.status == QLatin1String("started"))
        m_running = Running{command.id, command.set, replyTo};
    m_seen.add(result, now);
    m_seen.prune(now);
    // A refusal lost to a crash before it is written changes nothing on
    // the board: the command, delivered again, is judged afresh.
    if (result.status == QLatin1String("refused") && m_saveSoon) {
        m_idsUnsaved = true;
        m_saveSoon();
    } else {
        saveIds();
    }
    answer(result, replyTo);
}

void Handler::saveIds()
{
    m_idsUnsaved = false;
    m_board.saveOrSay(QLatin1String(kIdsFile), m_seen.toJson());
}

bool Handler::idsKnown() const
{
    return !m_board.state.isHeld(QLatin1String(kIdsFile)) && m_board.state.copiesOf(QLatin1String(kIdsFile)).isEmpty();
}

void Handler::duplicate(Result first, const ReplyTo &replyTo)
{
    QJsonObject more;
    if (const QJsonValue end = first.more.take(QLatin1String("end")); end.isObject())
        more.insert(QLatin1String("end"), end);
    more.insert(QLatin1String("first"), first.toJson());
    answer({first.id, QStringLiteral("duplicate"),
            QStringLiteral("A command with this id was answered before; it is not acted on again."), more},
           replyTo);
}

Result Handler::act(const Command &command)
{
    SetStore::Refusal refusal;
    switch (command.kind) {
    case Command::Send:
        if (!m_board.send(command.set, m_who, m_address, kNextStep, &refusal))
            return Result::refused(command.id, refusal.error);
        return {command.id, QStringLiteral("started"), {}, QJsonObject{{"set", command.set}}};
    case Command::Save: {
        const QByteArray version =
            m_board.saveSet(command.set, command.body, command.version, !command.version, m_who, m_address, &refusal);
        if (!refusal)
            return {command.id,
                    QStringLiteral("saved"),
                    {},
                    QJsonObject{{"set", command.set}, {"version", QString::fromLatin1(version)}}};
        break;
    }
    case Command::Delete:
        if (m_board.deleteSet(command.set, *command.version, m_who, m_address, &refusal))
            return {command.id, QStringLiteral("deleted"), {}, QJsonObject{{"set", command.set}}};
        break;
    case Command::Select:
    case Command::Press:
        // Made a choice, or a send, before they come here.
        return Result::refused(command.id, QStringLiteral("Nothing to act on."));
    }
    Result refused = Result::refused(command.id, refusal.error);
    // As the page's 412: the set as it is now, so that the edit can be
    // made again on it.
    if (refusal.status == 412) {
        SetStore::Refusal absent;
        if (const auto now = m_board.sets.get(command.set, &absent))
            refused.more.insert(QLatin1String("current"), SetStore::toJson(*now));
    }
    return refused;
}

void Handler::uploadEnded()
{
    if (!m_running)
        return;
    const Running running = *m_running;
    m_running.reset();
    const QJsonObject last = m_board.last;
    Result result{running.id, last.value(QLatin1String("result")).toString(),
                  last.value(QLatin1String("error")).toString(), QJsonObject{{"set", running.set}}};
    m_seen.ended(result);
    saveIds();
    answer(result, running.replyTo);
}

void Handler::answer(const Result &result, const ReplyTo &replyTo)
{
    if (m_publish)
        m_publish({result, replyTo});
}

}  // namespace mqtt
