// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/calls.h"
#include "web/gate.h"

#include <QObject>

// The page's door to the board: the gate, then the handler of the
// request's route. It answers requests that the HTTP server has already
// bounded and found addressed to this computer; it holds no HTTP library
// type, so that it can be tested, and fuzzed, on plain requests.
class BoardService : public QObject {
    Q_OBJECT
public:
    explicit BoardService(Board &board, QObject *parent = nullptr);

    void handle(const HttpRequest &request, const BoardHttpServer::Answer &answer);

private:
    Board &m_board;
    Gate m_gate;
};
