// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/board.h"
#include "web/gate.h"

#include <QObject>

// The board's API: the gate, then the handler of the request's route. It
// answers requests that the HTTP server has already bounded and found
// addressed to this computer; it holds no HTTP library type, so that it
// can be tested, and fuzzed, on plain requests.
class BoardService : public QObject {
    Q_OBJECT
public:
    using Clocks = Board::Clocks;
    static constexpr const char *kCookie = Board::kCookie;

    // `ports` turns a port number into a device, as for every front end.
    BoardService(StateFolder &state, PortMap ports, QObject *parent = nullptr);
    BoardService(StateFolder &state, PortMap ports, Clocks clocks, QObject *parent = nullptr);
    // The board's device as --port gives it (a number from 1 to 4, or a
    // device), which the owner cannot change on the page; where none is
    // given, the owner chooses one, and it is kept.
    void setDevice(const QString &device)
    {
        m_board.device = device;
        m_board.deviceFixed = !device.isEmpty();
    }
    SetSender &sender() { return m_board.sender; }
    // For the doors beside the page's: the board they work through.
    Board &board() { return m_board; }
    Scheduler &scheduler() { return m_board.scheduler; }
    // Reads the state folder; false, and error(), where the accounts (or
    // the devices' key) cannot be read.
    bool open();
    QString error() const { return m_error; }
    // What of the state folder could not be read, and was moved aside,
    // said so that a person can act on it; the server goes on without it.
    QStringList problems() const { return m_board.state.problems(); }
    // The code that claims the computer while it has no owner; empty once
    // it has one.
    QString setupCode() const { return m_board.setupCode ? m_board.setupCode->text() : QString(); }

    void handle(const HttpRequest &request, const BoardHttpServer::Answer &answer);

    // A fresh code for a forgotten password, which the running server
    // reads at the next setup: it resets `account`'s password (the owner's
    // where empty) and signs that account's devices out.
    static bool writeSetupCode(StateFolder &state, const SetupCode &code, const QString &account = {})
    {
        return Board::writeSetupCode(state, code, account);
    }

private:
    Board m_board;
    Gate m_gate;
    QString m_error;
};
