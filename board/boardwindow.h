// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class VirtualBoard;

// One line of 16 characters, drawn as the board's LED matrix draws it.
class LedDisplay : public QWidget {
    Q_OBJECT
public:
    explicit LedDisplay(QWidget *parent = nullptr);
    void setText(const QString &text);
    QString text() const { return m_text; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
};

// The window of the virtual board: what it shows, its eight input
// switches, the set it holds, and the upload as it arrives with a check of
// it.
class BoardWindow : public QWidget {
    Q_OBJECT
public:
    // Alone: no editor of this process sends to it, so the window says how
    // to send from another.
    explicit BoardWindow(VirtualBoard &board, QWidget *parent = nullptr, bool alone = false);

    LedDisplay *display() const { return m_display; }

private:
    void refresh();

    VirtualBoard &m_board;
    LedDisplay *m_display = nullptr;
    std::array<QCheckBox *, 9> m_switch{};  // inputs 1..8
    QPlainTextEdit *m_stored = nullptr;
    QPlainTextEdit *m_arrived = nullptr;
    QLabel *m_settings = nullptr;
    QLabel *m_gap = nullptr;
    QLabel *m_protocol = nullptr;
};
