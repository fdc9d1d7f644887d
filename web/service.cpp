// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/service.h"

BoardService::BoardService(Board &board, QObject *parent) : QObject(parent), m_board(board), m_gate(m_board) {}

void BoardService::handle(const HttpRequest &request, const BoardHttpServer::Answer &answer)
{
    Gate::Verdict verdict = m_gate.judge(request);
    if (!verdict.route)
        return answer(verdict.refusal);
    verdict.route->handler(m_board, *verdict.call, answer);
}
