// SPDX-License-Identifier: GPL-3.0-or-later
#include "board/boardwindow.h"

#include "board/boardreport.h"
#include "board/virtualboard.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace {

constexpr int kColumns = 16;
constexpr int kCellDots = 6;  // five dots of a character and a blank one
constexpr int kRows = 8;      // seven dots and a blank one
constexpr int kDot = 5;       // pixels from one dot to the next

QString lineOf(const QString &text)
{
    QString line = text.left(kColumns);
    line.replace(u'\r', u' ');
    return line;
}

}  // namespace

LedDisplay::LedDisplay(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(tr("Board display"));
}

void LedDisplay::setText(const QString &text)
{
    m_text = lineOf(text);
    setAccessibleDescription(m_text);
    update();
}

QSize LedDisplay::sizeHint() const { return {kColumns * kCellDots * kDot + 2 * kDot, kRows * kDot + 2 * kDot}; }

void LedDisplay::paintEvent(QPaintEvent *)
{
    // The text drawn small and sharp, one pixel a dot, then every pixel
    // lit as a red dot on the dark face.
    QImage glyphs(kColumns * kCellDots, kRows, QImage::Format_Grayscale8);
    glyphs.fill(0);
    {
        QPainter p(&glyphs);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(kRows);
        font.setStyleStrategy(QFont::NoAntialias);
        font.setHintingPreference(QFont::PreferFullHinting);
        p.setFont(font);
        p.setPen(Qt::white);
        for (int c = 0; c < m_text.size(); ++c)
            p.drawText(QRect(c * kCellDots, 0, kCellDots, kRows), Qt::AlignCenter, QString(m_text[c]));
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(24, 16, 16));
    painter.setPen(Qt::NoPen);
    for (int y = 0; y < kRows; ++y) {
        for (int x = 0; x < glyphs.width(); ++x) {
            const bool lit = qGray(glyphs.pixel(x, y)) > 96;
            painter.setBrush(lit ? QColor(255, 48, 32) : QColor(64, 24, 24));
            painter.drawEllipse(QRectF(kDot + x * kDot, kDot + y * kDot, kDot - 1, kDot - 1));
        }
    }
}

BoardWindow::BoardWindow(VirtualBoard &board, QWidget *parent, bool alone) : QWidget(parent, Qt::Window), m_board(board)
{
    setObjectName(QStringLiteral("VirtualTavro"));
    setWindowTitle(tr("Virtual Tavro"));
    auto *layout = new QVBoxLayout(this);

    QString about = tr("A stand-in for the Tavro board on %1, not the board itself.").arg(board.device());
    if (alone)
        about += QLatin1Char('\n') + tr("Send to it with: pelorin --send FILE.mes --port %1").arg(board.device());
    auto *note = new QLabel(about);
    note->setWordWrap(true);
    // So that the device's name can be copied.
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(note);

    m_display = new LedDisplay;
    m_display->setToolTip(tr("When several inputs are active, which message the real board shows is not known "
                             "here; this stand-in shows the lowest-numbered one."));
    layout->addWidget(m_display, 0, Qt::AlignHCenter);

    auto *inputs = new QGroupBox(tr("Inputs (checked: open, unchecked: grounded)"));
    auto *grid = new QGridLayout(inputs);
    for (int input = 1; input <= 8; ++input) {
        auto *box = new QCheckBox(tr("Input %1").arg(input));
        // Inputs with nothing connected are open.
        box->setChecked(true);
        box->setAccessibleDescription(tr("open when checked, grounded when not"));
        connect(box, &QCheckBox::toggled, this, &BoardWindow::refresh);
        grid->addWidget(box, (input - 1) / 4, (input - 1) % 4);
        m_switch[size_t(input)] = box;
    }
    layout->addWidget(inputs);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const auto textBox = [&](const QString &name, int lines) {
        auto *box = new QPlainTextEdit;
        box->setReadOnly(true);
        box->setFont(fixed);
        box->setAccessibleName(name);
        box->setFixedHeight(box->fontMetrics().lineSpacing() * lines + 12);
        layout->addWidget(new QLabel(name));
        layout->addWidget(box);
        return box;
    };
    m_stored = textBox(tr("Stored messages"), 9);
    m_arrived = textBox(tr("Upload as it arrives (CR shown as \u21b5)"), 4);

    m_settings = new QLabel;
    m_gap = new QLabel;
    m_protocol = new QLabel;
    m_protocol->setWordWrap(true);
    for (QLabel *label : {m_settings, m_gap, m_protocol})
        layout->addWidget(label);

    connect(&board, &VirtualBoard::received, this, &BoardWindow::refresh);
    refresh();
}

void BoardWindow::refresh()
{
    const BoardInterpreter &b = m_board.board();
    std::array<bool, 9> open{};
    for (int input = 1; input <= 8; ++input)
        open[size_t(input)] = m_switch[size_t(input)]->isChecked();
    const int slot = b.shownSlot(open);
    m_display->setText(b.messages()[size_t(slot)]);
    m_display->setAccessibleName(tr("Board display, message %1").arg(slot));

    m_stored->setPlainText(boardtext::storedSet(b).join(u'\n'));
    QString arrived = b.received();
    arrived.replace(u'\r', QStringLiteral("\u21b5\n"));
    m_arrived->setPlainText(arrived);
    m_arrived->moveCursor(QTextCursor::End);

    m_settings->setText(b.received().isEmpty() ? tr("Line settings: nothing received yet")
                                               : boardtext::lineSettings(m_board.lineSettings()));
    m_gap->setText(boardtext::smallestGap(b));
    m_protocol->setText(boardtext::protocol(b));
}
