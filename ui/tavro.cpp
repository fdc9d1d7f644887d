// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/tavro.h"

#include "link/comm.h"
#include "link/pacer.h"
#include "link/serialdevices.h"
#include "link/upload.h"
#include "link/uploader.h"
#include "ui/accessible.h"
#include "ui/icon.h"
#include "ui/portselector.h"
#include "ui/prompts.h"
#include "ui/taskbar.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleFactory>
#include <QTimer>
#include <QToolTip>

#include <algorithm>

namespace {

// The layout is drawn in twips; at 96 dpi fifteen make a pixel.
constexpr int px(int twips) { return twips / 15; }

void place(QWidget *w, int left, int top, int width, int height)
{
    w->setGeometry(px(left), px(top), px(width), px(height));
}

// A hint shows as the tooltip and is read out by screen readers.
void hint(QWidget *w, const QString &text)
{
    // A tooltip already showing for the control follows it, so the mouse
    // resting on Send watches the upload's count go on.
    const bool showing = QToolTip::isVisible() && QToolTip::text() == w->toolTip();
    w->setToolTip(text);
    w->setAccessibleDescription(text);
    if (showing)
        QToolTip::showText(QCursor::pos(), text, w);
}

template <typename W>
W *named(W *w, const char *name)
{
    w->setObjectName(QLatin1String(name));
    return w;
}

struct Row {
    const char *label;
    const char *box;
    int openWidth;    // of the "1" option
    int groundWidth;  // of the "0" option
};

// Rows 1..9 top to bottom; row 9, the idle message, has no options.
constexpr Row kRows[10] = {
    {},
    {"Label3", "messagebox", 495, 495},
    {"Label2", "Text1", 375, 495},
    {"Label4", "Text2", 375, 375},
    {"Label5", "Text3", 495, 375},
    {"Label6", "Text4", 375, 375},
    {"Label7", "Text5", 375, 375},
    {"Label8", "Text6", 375, 375},
    {"Label9", "Text7", 495, 495},
    {"Label10", "Text8", 0, 0},
};

using Handler = void (Tavro::*)();

constexpr Handler kChange[10] = {
    nullptr,
    &Tavro::messagebox_Change,
    &Tavro::Text1_Change,
    &Tavro::Text2_Change,
    &Tavro::Text3_Change,
    &Tavro::Text4_Change,
    &Tavro::Text5_Change,
    &Tavro::Text6_Change,
    &Tavro::Text7_Change,
    &Tavro::Text8_Change,
};

constexpr Handler kClick[17] = {
    nullptr,
    &Tavro::Option1_Click,
    &Tavro::Option2_Click,
    &Tavro::Option3_Click,
    &Tavro::Option4_Click,
    &Tavro::Option5_Click,
    &Tavro::Option6_Click,
    &Tavro::Option7_Click,
    &Tavro::Option8_Click,
    &Tavro::Option9_Click,
    &Tavro::Option10_Click,
    &Tavro::Option11_Click,
    &Tavro::Option12_Click,
    &Tavro::Option13_Click,
    &Tavro::Option14_Click,
    &Tavro::Option15_Click,
    &Tavro::Option16_Click,
};

// Some options are only 25 pixels wide: a tighter gap between the circle
// and the digit keeps the digit clear of the edge. A style sheet would do
// the same, at the price of a style sheet engine at every start.
class TightOptionStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        return metric == PM_RadioButtonLabelSpacing ? 2 : QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QStyle *tightOptionStyle()
{
    // One for the program's life; the application owns it, so it outlives
    // every window's options.
    static QPointer<QStyle> style;
    if (!style) {
        style = new TightOptionStyle(QStyleFactory::create(QApplication::style()->name()));
        style->setParent(qApp);
    }
    return style;
}

const QString kSendCaption = QStringLiteral("Send to Tavro");
const QString kBusyCaption = QStringLiteral("Transmitting...");
const QString kSendHint = QStringLiteral("Make sure Tavro is in 'progam'-mode before transmitting");

}  // namespace

void LevelOption::pairWith(LevelOption *partner)
{
    setAutoExclusive(false);
    connect(this, &QAbstractButton::toggled, partner, [partner](bool on) {
        if (on)
            partner->setChecked(false);
    });
    // A screen reader hears of the change, as it would from Qt's own
    // radio buttons.
    connect(this, &QAbstractButton::toggled, this, [this] {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    });
}

void LevelOption::nextCheckState() { setChecked(true); }

void SendButton::setProgress(double fraction)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (fraction == m_progress)
        return;
    m_progress = fraction;
    update();
}

void SendButton::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    if (m_progress <= 0)
        return;
    // The highlight, faint enough for the caption to stay legible, over
    // the part of the face that stands for the characters sent.
    QPainter painter(this);
    QColor fill = palette().color(QPalette::Active, QPalette::Highlight);
    fill.setAlphaF(0.35f);
    const QRect face = rect().adjusted(2, 2, -2, -2);
    painter.fillRect(QRect(face.left(), face.top(), int(face.width() * m_progress + 0.5), face.height()), fill);
}

Tavro::Tavro(PortMap portMap, Prompts &prompts, QWidget *parent) : QWidget(parent), m_prompts(prompts)
{
    // Before any control exists, so that no interface of Qt's own is made
    // for one first.
    static const bool accessible = [] {
        installAccessibleInterfaces();
        return true;
    }();
    Q_UNUSED(accessible);
    setObjectName(QStringLiteral("Tavro"));
    setWindowTitle(QStringLiteral("Dravik Tavro"));
    setWindowIcon(tavroIcon());
    setFixedSize(px(5310), px(7860));

    Timer1 = named(new Pacer(this), "Timer1");
    Timer1->setInterval(1000);
    Comm = named(new ::Comm(std::move(portMap), this), "Comm");
    m_uploader = new Uploader(m_set, *Comm, *Timer1, this);

    createControls();
    fitCaptions();

    connect(Combo1, &QComboBox::activated, this, [this] {
        // The user's own pick outranks a port that a file named earlier,
        // and goes to the device that is there now.
        m_portAfterUpload.clear();
        Comm->lookUpDevices();
        Combo1_Click();
    });
    connect(Combo1, &PortSelector::listOpening, this, &Tavro::probeAgain);
    connect(Command1, &QPushButton::clicked, this, &Tavro::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Tavro::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Tavro::Command3_Click);
    connect(Timer1, &Pacer::timeout, this, &Tavro::Timer1_Timer);
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        connect(m_box[slot], &QLineEdit::textChanged, this, kChange[slot]);
    for (int n = 1; n <= 2 * MessageSet::kInputs; ++n)
        connect(m_option[n], &QAbstractButton::clicked, this, kClick[n]);
    connect(m_uploader, &Uploader::advanced, this, &Tavro::showProgress);
    connect(m_uploader, &Uploader::finished, this, &Tavro::endBusy);
    connect(m_uploader, &Uploader::failed, this, &Tavro::uploadFailed);
    // Queued, so that the link is never closed from inside its own write.
    connect(Comm, &::Comm::lost, this, &Tavro::linkLost, Qt::QueuedConnection);

    Form_Load();
}

Tavro::~Tavro() = default;

void Tavro::createControls()
{
    Label1 = named(new QLabel(QStringLiteral("Select serial port #"), this), "Label1");
    place(Label1, 1080, 360, 1455, 255);

    Combo1 = named(new PortSelector(this), "Combo1");
    place(Combo1, 2640, 360, 495, 315);
    Label1->setBuddy(Combo1);
    Combo1->setAccessibleName(QStringLiteral("Serial port"));
    Combo1->view()->setAccessibleName(QStringLiteral("Serial ports"));
    // A screen reader takes the selected entry of the list for the value of
    // the selector, so the list's selection follows the choice.
    connect(Combo1, &QComboBox::currentIndexChanged, this, [this](int index) {
        QItemSelectionModel *selection = Combo1->view()->selectionModel();
        if (index < 0)
            selection->clearSelection();
        else
            selection->select(Combo1->model()->index(index, 0), QItemSelectionModel::ClearAndSelect);
    });
    hint(Combo1, QStringLiteral("Choose serial port # which is hooked up to Tavro"));

    QFont courier(QStringLiteral("Courier"));
    courier.setStyleHint(QFont::TypeWriter);
    courier.setPointSizeF(9.75);
    courier.setWeight(QFont::Normal);

    for (int n = 1; n <= MessageSet::kSlots; ++n) {
        const Row &row = kRows[n];
        const int top = 1320 + 600 * (n - 1);

        auto *label = named(new QLabel(QStringLiteral("Message %1").arg(n), this), row.label);
        place(label, 600, top, 855, 255);

        auto *box = named(new QLineEdit(QStringLiteral("message%1").arg(n), this), row.box);
        place(box, 1560, top, 2055, 285);
        box->setFont(courier);
        box->setMaxLength(kMaxTyped);
        hint(box, QStringLiteral("Enter your message (blank leaves message unchanged)"));
        label->setBuddy(box);
        box->setAccessibleName(label->text());
        m_box[n] = box;

        if (n == MessageSet::kIdleSlot)
            break;
        auto *frame = named(new QGroupBox(this), qPrintable(QStringLiteral("Frame%1").arg(n)));
        place(frame, 3720, top - 120, 1455, 450);
        hint(frame, QStringLiteral("Display message when input = 1 (open) or 0 (grounded)"));
        // The frame is the pair's group; a screen reader names it with the
        // option it is on.
        frame->setAccessibleName(QStringLiteral("Input %1 level").arg(n));
        m_frame[n] = frame;

        auto *open =
            named(new LevelOption(QStringLiteral("1"), frame), qPrintable(QStringLiteral("Option%1").arg(2 * n - 1)));
        place(open, 120, 120, row.openWidth, 255);
        auto *grounded =
            named(new LevelOption(QStringLiteral("0"), frame), qPrintable(QStringLiteral("Option%1").arg(2 * n)));
        place(grounded, 840, 120, row.groundWidth, 255);
        open->setAccessibleName(QStringLiteral("Input %1: 1 (open)").arg(n));
        grounded->setAccessibleName(QStringLiteral("Input %1: 0 (grounded)").arg(n));
        open->setAccessibleDescription(frame->toolTip());
        grounded->setAccessibleDescription(frame->toolTip());
        open->setStyle(tightOptionStyle());
        grounded->setStyle(tightOptionStyle());
        open->pairWith(grounded);
        grounded->pairWith(open);
        grounded->setChecked(true);
        m_option[2 * n - 1] = open;
        m_option[2 * n] = grounded;
    }

    Label11 = named(new QLabel(QStringLiteral("'Idle'-message"), this), "Label11");
    place(Label11, 3960, 6120, 1095, 255);
    hint(Label11,
         QStringLiteral("this message is displayed when no other message is displayed (i.e. no other input active)"));

    Command3 = named(new QPushButton(QStringLiteral("Save messages"), this), "Command3");
    place(Command3, 240, 6960, 1455, 615);
    hint(Command3, QStringLiteral("save current message set"));
    Command2 = named(new QPushButton(QStringLiteral("Load messages"), this), "Command2");
    place(Command2, 1920, 6960, 1455, 615);
    hint(Command2, QStringLiteral("load a message set"));
    Command1 = named(new SendButton(kSendCaption, this), "Command1");
    place(Command1, 3600, 6960, 1455, 615);
    hint(Command1, kSendHint);

    // Send, the port, Load, Save, the levels of inputs 1..8, then the
    // messages from the idle one up to message 1.
    QList<QWidget *> order{Command1, Combo1, Command2, Command3};
    for (int n = 1; n <= 2 * MessageSet::kInputs; ++n)
        order << m_option[n];
    for (int slot = MessageSet::kSlots; slot >= 1; --slot)
        order << m_box[slot];
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    Command1->setFocus();
}

void Tavro::fitCaptions()
{
    // The layout was drawn for a smaller face than most desktops default
    // to. The controls keep their places, so the default face shrinks
    // until every caption fits its box, and never below a legible size.
    QList<QWidget *> captioned{Command1, Command2, Command3};
    for (QLabel *label : findChildren<QLabel *>())
        captioned << label;
    const auto allFit = [&] {
        return std::all_of(captioned.begin(), captioned.end(),
                           [](QWidget *w) { return w->sizeHint().width() <= w->width(); });
    };
    QFont face = font();
    while (!allFit() && face.pointSizeF() > 6.5) {
        face.setPointSizeF(face.pointSizeF() - 0.25);
        setFont(face);
    }
}

void Tavro::Form_Load()
{
    Timer1->stop();
    Timer1->setInterval(upload::kTickMs);
    giveStartValues(m_set);
    // The boxes show what a Send or Save would carry, blank included.
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        m_box[slot]->setText(m_set.messageText[slot]);
    m_probeStop = probePorts();
    if (m_probeStop.cause == Diagnosis::None)
        Combo1->setCurrentIndex(-1);  // all four opened: nothing is chosen until the user picks
    else if (Combo1->count() > 0)
        choosePort(0);
}

Diagnosis Tavro::probePorts()
{
    // One look at the system's devices serves the whole probe.
    Comm->lookUpDevices();
    const QString shown = Combo1->currentText();
    Combo1->clear();
    Diagnosis stop;
    for (int n = 1; n <= 4; ++n) {
        if (!Comm->tryOpen(n)) {
            // The first port that fails ends the probe; the ports above it
            // are not offered.
            stop = Comm->failure();
            break;
        }
        Combo1->addItem(QString::number(n));
        // The device, and the name that stays with an adapter, for a
        // script's --port.
        Combo1->setItemData(Combo1->count() - 1, serialDevice(Comm->deviceOf(n)).label(), Qt::ToolTipRole);
    }
    Combo1->setCurrentIndex(int(Combo1->findText(shown)));
    return stop;
}

void Tavro::probeAgain()
{
    // An upload writes to the link between the list's entries; it is left
    // alone until the upload ends.
    if (m_uploader->running())
        return;
    m_probeStop = probePorts();
    if (Combo1->count() == 0 && m_probeStop.actionable())
        m_prompts.tell(m_probeStop.text(kNextStep));
}

void Tavro::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shownBefore)
        return;
    m_shownBefore = true;
    // A port that exists but cannot be used is explained once the window
    // is there for the message to sit on.
    if (m_probeStop.actionable())
        QTimer::singleShot(0, this, [this] { m_prompts.tell(m_probeStop.text(kNextStep)); });
}

void Tavro::choosePort(int index)
{
    Combo1->setCurrentIndex(index);
    Combo1_Click();
}

void Tavro::Combo1_Click()
{
    if (Comm->portOpen())
        Comm->close();
    m_set.portText = Combo1->currentText();
    Comm->setCommPort(Combo1->currentText().toShort());
    Comm->setFurtherSetting(1, 0);
    Comm->setSettings(QLatin1String(kSettings));
    Comm->setFurtherSetting(2, 4096);
    Comm->setFurtherSetting(3, 0);
    Comm->setFurtherSetting(4, 1);
    Comm->setFurtherSetting(5, 1);
    if (Comm->open())
        return;

    m_prompts.tell(Comm->failure().text(kNextStep));
}

void Tavro::Command1_Click()
{
    if (!Comm->portOpen()) {
        if (Combo1->count() > 0) {
            m_prompts.tell(tr("No serial port is open. Pick the port that the Tavro is connected to, "
                              "then press Send again."));
        } else if (m_probeStop.actionable()) {
            m_prompts.tell(
                tr("No serial port can be used, so there is no port to pick.\n\n%1").arg(m_probeStop.text(kNextStep)));
        } else {
            m_prompts.tell(tr("No serial port was found. Plug in the board's adapter, then open the list "
                              "\"Select serial port #\", pick its port and press Send again."));
        }
        return;
    }
    const upload::Begun begun = m_uploader->start();
    if (!begun.ok) {
        m_prompts.tell(Uploader::tooLongText(begun));
        return;
    }
    enterBusy();
}

void Tavro::Timer1_Timer() { m_uploader->tick(); }

void Tavro::linkLost(const QString &reason)
{
    Comm->close();
    m_uploader->fail(reason);
}

void Tavro::uploadFailed(const QString &reason)
{
    Comm->close();
    endBusy();
    m_prompts.tell(m_uploader->stoppedText(Comm->portName(), reason) + QLatin1Char(' ')
                   + tr("Check the connection, pick the board's port and press Send again."));
}

void Tavro::enterBusy()
{
    Command1->setText(kBusyCaption);
    Command1->setEnabled(false);
    setCursor(Qt::WaitCursor);
    showProgress();
}

void Tavro::showProgress()
{
    const upload::Progress progress = m_uploader->progress();
    Command1->setProgress(progress.fraction());
    // A disabled button still shows its tooltip, and the screen reader
    // speaks the description.
    hint(Command1, upload::describe(progress));
    taskbar::showProgress(this, progress.fraction());
}

void Tavro::endBusy()
{
    Command1->setText(kSendCaption);
    Command1->setEnabled(true);
    Command1->setProgress(0);
    hint(Command1, kSendHint);
    taskbar::hideProgress(this);
    unsetCursor();
    // Load leaves the port alone while an upload runs, so that the rest
    // of the stream does not go to another board.
    if (!m_portAfterUpload.isEmpty()) {
        const int index = m_portAfterUpload.toInt() - 1;
        m_portAfterUpload.clear();
        if (index >= 0 && index < Combo1->count())
            choosePort(index);
    }
}

void Tavro::Command2_Click()
{
    if (const std::optional<QString> path = m_prompts.chooseFileToOpen())
        loadFile(*path);
}

void Tavro::loadFile(const QString &path)
{
    // Nothing changes until the whole file has been read and found sound.
    const auto result = mesfile::load(path);
    if (const auto *error = std::get_if<mesfile::Error>(&result)) {
        m_prompts.tell(mesfile::describe(path, *error) + QStringLiteral("\n\n") + tr("Nothing was changed."));
        return;
    }
    mesfile::apply(std::get<mesfile::Contents>(result), m_set);
    showLoaded();
}

void Tavro::showLoaded()
{
    // A box reports no change for the text it already shows; the set holds
    // what the boxes show either way.
    for (int slot = 1; slot <= MessageSet::kSlots; ++slot)
        m_box[slot]->setText(m_set.messageText[slot]);
    for (int input = 1; input <= MessageSet::kInputs; ++input)
        m_option[m_set.triggerOnOpen[input] ? 2 * input - 1 : 2 * input]->setChecked(true);

    const int index = portNumber(m_set.portText) - 1;
    if (index >= 0 && m_uploader->running())
        m_portAfterUpload = m_set.portText;
    else if (index >= 0 && index < Combo1->count())
        choosePort(index);
}

void Tavro::Command3_Click()
{
    std::optional<QString> path;
    for (;;) {
        path = m_prompts.chooseFileToSave();
        if (!path)
            return;
        if (ReportFileStatus(*path) != QLatin1String("1"))
            break;
        if (m_prompts.confirmOverwrite(QFileInfo(*path).fileName() + QStringLiteral(" exists\nOverwrite ?")))
            break;
    }
    const QString reason = mesfile::save(*path, m_set);
    if (!reason.isEmpty()) {
        m_prompts.tell(tr("Could not save %1: %2.\n\nAn existing file of that name is unchanged.")
                           .arg(QDir::toNativeSeparators(*path), reason));
    }
}

QString Tavro::ReportFileStatus(const QString &filespec)
{
    return QFileInfo::exists(filespec) ? QStringLiteral("1") : QStringLiteral("0");
}

void Tavro::storeText(int slot) { m_set.messageText[slot] = m_box[slot]->text(); }

void Tavro::storeLevel(int input, bool open) { m_set.triggerOnOpen[input] = open; }

void Tavro::messagebox_Change() { storeText(1); }
void Tavro::Text1_Change() { storeText(2); }
void Tavro::Text2_Change() { storeText(3); }
void Tavro::Text3_Change() { storeText(4); }
void Tavro::Text4_Change() { storeText(5); }
void Tavro::Text5_Change() { storeText(6); }
void Tavro::Text6_Change() { storeText(7); }
void Tavro::Text7_Change() { storeText(8); }
void Tavro::Text8_Change() { storeText(9); }

void Tavro::Option1_Click() { storeLevel(1, true); }
void Tavro::Option2_Click() { storeLevel(1, false); }
void Tavro::Option3_Click() { storeLevel(2, true); }
void Tavro::Option4_Click() { storeLevel(2, false); }
void Tavro::Option5_Click() { storeLevel(3, true); }
void Tavro::Option6_Click() { storeLevel(3, false); }
void Tavro::Option7_Click() { storeLevel(4, true); }
void Tavro::Option8_Click() { storeLevel(4, false); }
void Tavro::Option9_Click() { storeLevel(5, true); }
void Tavro::Option10_Click() { storeLevel(5, false); }
void Tavro::Option11_Click() { storeLevel(6, true); }
void Tavro::Option12_Click() { storeLevel(6, false); }
void Tavro::Option13_Click() { storeLevel(7, true); }
void Tavro::Option14_Click() { storeLevel(7, false); }
void Tavro::Option15_Click() { storeLevel(8, true); }
void Tavro::Option16_Click() { storeLevel(8, false); }
