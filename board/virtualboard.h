// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "board/interpreter.h"

#include <QObject>
#include <QString>

class QSocketNotifier;

// A stand-in for the board: a pseudo-terminal whose device the editor opens
// as its serial port, while this end reads what arrives and interprets it
// as the board would.
class VirtualBoard : public QObject {
    Q_OBJECT
public:
    explicit VirtualBoard(QObject *parent = nullptr);
    ~VirtualBoard() override;

    // Empty where a virtual board can be made; else why it cannot.
    static QString unavailable();

    // Empty when no pseudo-terminal could be had; error() says why.
    QString device() const { return m_device; }
    QString error() const { return m_error; }
    const BoardInterpreter &board() const { return m_board; }
    // The line settings on the device as the current upload began, as
    // "2400 8N1".
    QString lineSettings() const { return m_lineSettings; }

signals:
    void received();

private:
    void readAvailable();
    QString deviceSettings() const;

    int m_master = -1;
    int m_slave = -1;  // held, so that the editor closing its end is no hang-up
    QString m_device;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    BoardInterpreter m_board;
    QString m_lineSettings;
};
