// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqtt/ledger.h"

#include "service/statefolder.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace mqtt {

std::optional<Result> SeenIds::find(const QString &id) const
{
    if (!m_ids.contains(id))
        return std::nullopt;
    // The id a client asks after again is most often a recent one.
    for (auto it = m_entries.crbegin(); it != m_entries.crend(); ++it) {
        if (it->result.id == id)
            return it->result;
    }
    return std::nullopt;
}

void SeenIds::add(const Result &result, const QDateTime &at)
{
    m_entries.append({result, at});
    m_ids.insert(result.id);
    while (m_entries.size() > kMost)
        m_ids.remove(m_entries.takeFirst().result.id);
}

void SeenIds::ended(const Result &end)
{
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        if (it->result.id == end.id) {
            it->result.more.insert(QLatin1String("end"), end.toJson());
            return;
        }
    }
}

void SeenIds::prune(const QDateTime &now)
{
    const QDateTime dayAgo = now.addSecs(-kDaySeconds);
    qsizetype drop = 0;
    while (drop < m_entries.size() - kLast && m_entries.at(drop).at < dayAgo)
        m_ids.remove(m_entries.at(drop++).result.id);
    m_entries.remove(0, drop);
}

QByteArray SeenIds::toJson() const
{
    QJsonArray list;
    for (const Entry &entry : m_entries)
        list.append(QJsonObject{{"at", entry.at.toSecsSinceEpoch()}, {"result", entry.result.toJson()}});
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

std::optional<SeenIds> SeenIds::fromJson(const QByteArray &bytes, QString *why)
{
    QJsonDocument document;
    *why = StateFolder::parseJson(bytes, QJsonValue::Array, &document);
    if (!why->isEmpty())
        return std::nullopt;
    SeenIds seen;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject o = value.toObject();
        const Result result = Result::fromJson(o.value(QLatin1String("result")).toObject());
        const QJsonValue at = o.value(QLatin1String("at"));
        if (result.id.isEmpty() || result.status.isEmpty() || !at.isDouble()) {
            *why = QStringLiteral("an entry has no id, status or time");
            return std::nullopt;
        }
        seen.m_entries.append({result, QDateTime::fromSecsSinceEpoch(qint64(at.toDouble()), Qt::UTC)});
        seen.m_ids.insert(result.id);
    }
    return seen;
}

void Outbox::add(const Item &item)
{
    m_items.append(item);
    while (m_items.size() > kMost) {
        m_items.removeFirst();
        ++m_dropped;
    }
}

QByteArray Outbox::toJson() const
{
    QJsonArray list;
    for (const Item &item : m_items) {
        QJsonObject o{{"result", item.result.toJson()}};
        if (!item.replyTo.topic.isEmpty()) {
            o.insert(QLatin1String("response_topic"), item.replyTo.topic);
            o.insert(QLatin1String("correlation"), QString::fromLatin1(item.replyTo.correlation.toBase64()));
        }
        list.append(o);
    }
    return QJsonDocument(QJsonObject{{"results", list}, {"dropped", m_dropped}}).toJson(QJsonDocument::Compact);
}

std::optional<Outbox> Outbox::fromJson(const QByteArray &bytes, QString *why)
{
    QJsonDocument document;
    *why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
    if (!why->isEmpty())
        return std::nullopt;
    const QJsonValue results = document.object().value(QLatin1String("results"));
    if (!results.isArray()) {
        *why = QStringLiteral("it lists no results");
        return std::nullopt;
    }
    Outbox box;
    box.m_dropped = document.object().value(QLatin1String("dropped")).toInt();
    for (const QJsonValue &value : results.toArray()) {
        const QJsonObject o = value.toObject();
        Item item{Result::fromJson(o.value(QLatin1String("result")).toObject()),
                  {o.value(QLatin1String("response_topic")).toString(),
                   QByteArray::fromBase64(o.value(QLatin1String("correlation")).toString().toLatin1())}};
        if (item.result.status.isEmpty()) {
            *why = QStringLiteral("a result has no status");
            return std::nullopt;
        }
        box.m_items.append(item);
    }
    return box;
}

}  // namespace mqtt
