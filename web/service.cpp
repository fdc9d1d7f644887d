// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/service.h"

#include "web/secrets.h"

#include <QJsonDocument>

BoardService::BoardService(StateFolder &state, PortMap ports, QObject *parent)
    : BoardService(state, std::move(ports), Clocks(), parent)
{
}

BoardService::BoardService(StateFolder &state, PortMap ports, Clocks clocks, QObject *parent)
    : QObject(parent), m_board(state, std::move(ports), std::move(clocks),
                               [this](const QString &set) { return m_board.startScheduled(set); }),
      m_gate(m_board)
{
    connect(&m_board.sender, &SetSender::sent, this, [this] { m_board.ended(QStringLiteral("sent"), false, {}); });
    connect(&m_board.sender, &SetSender::failed, this,
            [this](bool retryable, const QString &text) { m_board.ended(QStringLiteral("failed"), retryable, text); });
}

bool BoardService::open()
{
    Board &b = m_board;
    if (!b.accounts.load()) {
        m_error = b.accounts.error();
        return false;
    }
    b.sessions = SessionStore::load(b.state, QStringLiteral("sessions.json"), b.clocks.wall());
    if (!b.deviceFixed) {
        // A port that cannot be read is never taken for none chosen
        // unsaid: the file is moved aside, and the owner told.
        QString device;
        b.state.readWhole(
            QStringLiteral("settings.json"),
            [&](const QByteArray &bytes) {
                QJsonDocument document;
                QString why = StateFolder::parseJson(bytes, QJsonValue::Object, &document);
                const QJsonValue chosen = document.object().value(QLatin1String("device"));
                if (why.isEmpty() && !chosen.isUndefined() && (!chosen.isString() || chosen.toString().isEmpty()))
                    why = QStringLiteral("device is no port");
                if (why.isEmpty())
                    device = chosen.toString();
                return why;
            },
            QStringLiteral("The board's port is not chosen: choose it again on the board's page."));
        b.device = device;
    }
    if (!b.accounts.hasOwner())
        b.setupCode = SetupCode::make(b.clocks.wall());
    // Said with the rest of the first lines.
    b.readSetupCodeFile(false);
    b.keys = KeyStore::load(b.state, QStringLiteral("keys.json"));
    // The key of the trusted devices' cookies: made once; one that cannot
    // be read is not replaced, as that would make every device a stranger
    // without a word.
    bool exists = false;
    const QByteArray read = b.state.read(QStringLiteral("device-key"), &exists);
    if (read.isNull()) {
        m_error = QStringLiteral("%1; it is not replaced, as a new key would make every browser a stranger. Let "
                                 "the server's user read it, or remove it, and every browser signs in as a "
                                 "stranger once more.")
                      .arg(b.state.error());
        return false;
    }
    QByteArray key = read.trimmed();
    if (exists && key.size() != secrets::kLength) {
        m_error = QStringLiteral("%1/device-key cannot be read: it is not the key this server wrote. Remove it, "
                                 "and every browser signs in as a stranger once more.")
                      .arg(b.state.path());
        return false;
    }
    if (!exists) {
        key = secrets::make();
        if (!b.save(QStringLiteral("device-key"), key, &m_error))
            return false;
    }
    b.devices.setKey(key);
    if (!b.scheduler.open()) {
        m_error = b.scheduler.error();
        return false;
    }
    return true;
}

void BoardService::handle(const HttpRequest &request, const BoardHttpServer::Answer &answer)
{
    Gate::Verdict verdict = m_gate.judge(request);
    if (!verdict.route)
        return answer(verdict.refusal);
    verdict.route->handler(m_board, *verdict.call, answer);
}
