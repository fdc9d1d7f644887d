// SPDX-License-Identifier: GPL-3.0-or-later
// The editor window: start-up, the controls and their bindings to the
// message set, the port probe and the keyboard.
#include "ptyboard.h"
#include "rig.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTest>

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void startsWithTheRecordsTexts();
    void controls_data();
    void controls();
    void controlsFitAndDoNotOverlap();
    void refusesThe17thCharacter();
    void textBindings_data();
    void textBindings();
    void optionBindings_data();
    void optionBindings();
    void tabOrder();
    void accessibleNames();
    void probe_data();
    void probe();
    void pickOfAPortThatWillNotOpen();
    void sendWithoutAnOpenPort();
};

void TestWindow::startsWithTheRecordsTexts()
{
    Ports ports(0);
    Rig rig(ports.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));

    for (int slot = 1; slot <= 9; ++slot) {
        QCOMPARE(rig.box(slot)->text(), QStringLiteral("message %1").arg(slot));
        QCOMPARE(rig.set().messageText[slot], rig.box(slot)->text());
        QCOMPARE(rig.set().slotDigit[slot], QString::number(slot));
    }
    for (int input = 1; input <= 8; ++input) {
        QVERIFY(!rig.option(2 * input - 1)->isChecked());
        QVERIFY(rig.option(2 * input)->isChecked());
        QVERIFY(!rig.set().triggerOnOpen[input]);
    }
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
    QVERIFY(rig.send()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), rig.send());
    QVERIFY(!rig.timer()->isActive());
    QCOMPARE(rig.timer()->interval(), 500);
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Dravik Tavro"));
    QCOMPARE(rig.window->size(), QSize(354, 524));
    QVERIFY(!rig.window->windowIcon().isNull());
    QVERIFY(rig.prompts.told.isEmpty());
}

void TestWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("hint");

    const QString messageHint = "Enter your message (blank leaves message unchanged)";
    const QString frameHint = "Display message when input = 1 (open) or 0 (grounded)";
    QTest::newRow("Label1") << "Label1"
                            << "Select serial port #" << QRect(72, 24, 97, 17) << "";
    QTest::newRow("Combo1") << "Combo1"
                            << "" << QRect(176, 24, 33, 21) << "Choose serial port # which is hooked up to Tavro";
    QTest::newRow("Label3") << "Label3"
                            << "Message 1" << QRect(40, 88, 57, 17) << "";
    QTest::newRow("Label2") << "Label2"
                            << "Message 2" << QRect(40, 128, 57, 17) << "";
    QTest::newRow("Label10") << "Label10"
                             << "Message 9" << QRect(40, 408, 57, 17) << "";
    QTest::newRow("messagebox") << "messagebox"
                                << "" << QRect(104, 88, 137, 19) << messageHint;
    QTest::newRow("Text8") << "Text8"
                           << "" << QRect(104, 408, 137, 19) << messageHint;
    QTest::newRow("Frame1") << "Frame1"
                            << "" << QRect(248, 80, 97, 30) << frameHint;
    QTest::newRow("Frame8") << "Frame8"
                            << "" << QRect(248, 360, 97, 30) << frameHint;
    QTest::newRow("Option1") << "Option1"
                             << "1" << QRect(8, 8, 33, 17) << "";
    QTest::newRow("Option3") << "Option3"
                             << "1" << QRect(8, 8, 25, 17) << "";
    QTest::newRow("Option4") << "Option4"
                             << "0" << QRect(56, 8, 33, 17) << "";
    QTest::newRow("Option8") << "Option8"
                             << "0" << QRect(56, 8, 25, 17) << "";
    QTest::newRow("Label11")
        << "Label11"
        << "'Idle'-message" << QRect(264, 408, 73, 17)
        << "this message is displayed when no other message is displayed (i.e. no other input active)";
    QTest::newRow("Command3") << "Command3"
                              << "Save messages" << QRect(16, 464, 97, 41) << "save current message set";
    QTest::newRow("Command2") << "Command2"
                              << "Load messages" << QRect(128, 464, 97, 41) << "load a message set";
    QTest::newRow("Command1") << "Command1"
                              << "Send to Tavro" << QRect(240, 464, 97, 41)
                              << "Make sure Tavro is in 'progam'-mode before transmitting";
}

void TestWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(QString, hint);

    Ports ports(0);
    Rig rig(ports.map());
    auto *w = rig.find<QWidget>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->toolTip(), hint);
    if (auto *label = qobject_cast<QLabel *>(w))
        QCOMPARE(label->text(), caption);
    else if (auto *button = qobject_cast<QAbstractButton *>(w))
        QCOMPARE(button->text(), caption);
    else if (auto *frame = qobject_cast<QGroupBox *>(w))
        QCOMPARE(frame->title(), caption);
    if (auto *box = qobject_cast<QLineEdit *>(w)) {
        QCOMPARE(box->maxLength(), 16);
        QCOMPARE(box->font().family(), QStringLiteral("Courier"));
        QCOMPARE(box->font().pointSizeF(), 9.75);
        QCOMPARE(box->font().weight(), QFont::Normal);
        QVERIFY(!box->font().italic() && !box->font().underline() && !box->font().strikeOut());
    }
}

void TestWindow::controlsFitAndDoNotOverlap()
{
    Ports ports(0);
    Rig rig(ports.map());
    const QRect client = rig.window->rect();
    QList<QWidget *> children;
    for (QObject *o : rig.window->children()) {
        if (auto *w = qobject_cast<QWidget *>(o))
            children << w;
    }
    QCOMPARE(children.size(), 9 + 9 + 8 + 1 + 2 + 3);
    for (int i = 0; i < children.size(); ++i) {
        QVERIFY2(client.contains(children[i]->geometry()), qPrintable(children[i]->objectName()));
        // Every caption can be read whole in its fixed box.
        if (qobject_cast<QLabel *>(children[i]) || qobject_cast<QPushButton *>(children[i]))
            QVERIFY2(children[i]->sizeHint().width() <= children[i]->width(), qPrintable(children[i]->objectName()));
        for (int j = i + 1; j < children.size(); ++j) {
            QVERIFY2(!children[i]->geometry().intersects(children[j]->geometry()),
                     qPrintable(children[i]->objectName() + " / " + children[j]->objectName()));
        }
    }
}

void TestWindow::refusesThe17thCharacter()
{
    Ports ports(0);
    Rig rig(ports.map());
    QLineEdit *box = rig.box(5);
    box->clear();
    QTest::keyClicks(box, QStringLiteral("ABCDEFGHIJKLMNOPQ"));
    QCOMPARE(box->text(), QStringLiteral("ABCDEFGHIJKLMNOP"));
    QCOMPARE(rig.set().messageText[5], QStringLiteral("ABCDEFGHIJKLMNOP"));
}

void TestWindow::textBindings_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("clearFirst");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one character into Text3") << 4 << false << "x"
                                              << "message 4x";
    QTest::newRow("message 1 replaced") << 1 << true << "HELLO"
                                        << "HELLO";
    QTest::newRow("idle message replaced") << 9 << true << "Welcome!"
                                           << "Welcome!";
    QTest::newRow("cleared box stores empty") << 7 << true << ""
                                              << "";
    QTest::newRow("blanks kept") << 2 << true << "  A B  "
                                 << "  A B  ";
}

void TestWindow::textBindings()
{
    QFETCH(int, slot);
    QFETCH(bool, clearFirst);
    QFETCH(QString, typed);
    QFETCH(QString, expected);

    Ports ports(0);
    Rig rig(ports.map());
    const MessageSet before = rig.set();
    QLineEdit *box = rig.box(slot);
    box->setFocus();
    box->end(false);
    if (clearFirst) {
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
    }
    QTest::keyClicks(box, typed);

    for (int i = 1; i <= 9; ++i)
        QCOMPARE(rig.set().messageText[i], i == slot ? expected : before.messageText[i]);
    QCOMPARE(rig.set().triggerOnOpen, before.triggerOnOpen);
    QCOMPARE(rig.set().portText, before.portText);
}

void TestWindow::optionBindings_data()
{
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QList<int>>("openInputs");
    QTest::newRow("Option9 opens input 5") << QList<int>{9} << QList<int>{5};
    QTest::newRow("Option10 grounds it again") << QList<int>{9, 10} << QList<int>{};
    QTest::newRow("selected option clicked again") << QList<int>{1, 1} << QList<int>{1};
    QTest::newRow("grounded option clicked again") << QList<int>{16} << QList<int>{};
    QTest::newRow("frames independent") << QList<int>{1, 15, 4} << QList<int>{1, 8};
    QTest::newRow("every input open") << QList<int>{1, 3, 5, 7, 9, 11, 13, 15} << QList<int>{1, 2, 3, 4, 5, 6, 7, 8};
}

void TestWindow::optionBindings()
{
    QFETCH(QList<int>, clicks);
    QFETCH(QList<int>, openInputs);

    Ports ports(0);
    Rig rig(ports.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    for (int n : clicks)
        QTest::mouseClick(rig.option(n), Qt::LeftButton);

    for (int input = 1; input <= 8; ++input) {
        const bool open = openInputs.contains(input);
        QCOMPARE(rig.set().triggerOnOpen[input], open);
        QCOMPARE(rig.option(2 * input - 1)->isChecked(), open);
        QCOMPARE(rig.option(2 * input)->isChecked(), !open);
    }
    QVERIFY(!rig.set().triggerOnOpen[9]);
    for (int i = 1; i <= 9; ++i)
        QCOMPARE(rig.set().slotDigit[i], QString::number(i));
}

void TestWindow::tabOrder()
{
    Ports ports(0);
    Rig rig(ports.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    // Selecting options must not take the others out of the Tab chain.
    QTest::mouseClick(rig.option(5), Qt::LeftButton);
    rig.send()->setFocus();

    QStringList expected{"Combo1", "Command2", "Command3"};
    for (int n = 1; n <= 16; ++n)
        expected << QStringLiteral("Option%1").arg(n);
    for (int k = 8; k >= 1; --k)
        expected << QStringLiteral("Text%1").arg(k);
    expected << "messagebox"
             << "Command1";

    QStringList visited;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);
}

void TestWindow::accessibleNames()
{
    Ports ports(4);
    Rig rig(ports.map());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));

    QStringList names;
    QStringList descriptions;
    const std::function<void(QAccessibleInterface *)> walk = [&](QAccessibleInterface *node) {
        for (int i = 0; i < node->childCount(); ++i) {
            QAccessibleInterface *child = node->child(i);
            if (!child || child->state().invisible)
                continue;
            if (child->state().focusable) {
                names << child->text(QAccessible::Name);
                descriptions << child->text(QAccessible::Description);
            }
            walk(child);
        }
    };
    walk(QAccessible::queryAccessibleInterface(rig.window.get()));

    // Send, Load, Save, the port selector, 16 options and 9 message boxes.
    QCOMPARE(names.size(), 29);
    QVERIFY2(!names.contains(QString()), qPrintable(names.join(" | ")));
    QStringList unique = names;
    unique.removeDuplicates();
    QCOMPARE(unique.size(), names.size());
    for (const char *name : {"Message 1", "Message 9", "Input 3: 1 (open)", "Input 8: 0 (grounded)", "Serial port",
                             "Send to Tavro", "Load messages", "Save messages"})
        QVERIFY2(names.contains(name), qPrintable(name));
    QVERIFY(descriptions.contains("Make sure Tavro is in 'progam'-mode before transmitting"));
    QVERIFY(descriptions.contains("Enter your message (blank leaves message unchanged)"));
    QVERIFY(descriptions.contains("Display message when input = 1 (open) or 0 (grounded)"));
}

void TestWindow::probe_data()
{
    QTest::addColumn<int>("workingPorts");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("linkOpen");
    QTest::newRow("four ports") << 4 << QStringList{"1", "2", "3", "4"} << "" << false;
    QTest::newRow("two, then an absent one") << 2 << QStringList{"1", "2"} << "1" << true;
    QTest::newRow("only port 1") << 1 << QStringList{"1"} << "1" << true;
    QTest::newRow("none") << 0 << QStringList{} << "" << false;
}

void TestWindow::probe()
{
    QFETCH(int, workingPorts);
    QFETCH(QStringList, entries);
    QFETCH(QString, shown);
    QFETCH(bool, linkOpen);

    Ports ports(workingPorts);
    Rig rig(ports.map());
    QCOMPARE(rig.entries(), entries);
    QCOMPARE(rig.combo()->currentText(), shown);
    QCOMPARE(rig.comm()->portOpen(), linkOpen);
    QCOMPARE(rig.set().portText, shown);
    QVERIFY(!rig.combo()->isEditable());
    for (int i = 0; i < rig.combo()->count(); ++i)
        QCOMPARE(rig.combo()->itemData(i, Qt::ToolTipRole).toString(), ports.boards[i].path());
    if (linkOpen) {
        QCOMPARE(rig.comm()->commPort(), std::int16_t(1));
        const termios t = ports.boards[0].settings();
        QCOMPARE(cfgetospeed(&t), speed_t(B2400));
    }
    QVERIFY(rig.prompts.told.isEmpty());
}

void TestWindow::pickOfAPortThatWillNotOpen()
{
    Ports ports(4);
    Rig rig(ports.map());
    rig.pick("3");
    QVERIFY(rig.comm()->portOpen());
    QCOMPARE(rig.comm()->commPort(), std::int16_t(3));

    ports.gone << 2;
    rig.pick("2");
    QVERIFY(!rig.comm()->portOpen());
    QCOMPARE(rig.set().portText, QStringLiteral("2"));
    QCOMPARE(rig.prompts.told.size(), 1);
    const QString message = rig.prompts.told.first();
    QVERIFY2(message.contains("port 2") && message.contains(absentDevice(2)), qPrintable(message));
    QVERIFY2(!message.contains("dialout"), qPrintable(message));

    rig.pick("4");
    QVERIFY(rig.comm()->portOpen());
    QCOMPARE(rig.set().portText, QStringLiteral("4"));
    QCOMPARE(rig.prompts.told.size(), 1);
}

void TestWindow::sendWithoutAnOpenPort()
{
    Ports ports(4);
    Rig rig(ports.map());
    QVERIFY(!rig.comm()->portOpen());
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY(rig.prompts.told.first().contains("No serial port is open"));
    QVERIFY(!rig.busy());
    QVERIFY(!rig.timer()->isActive());
    QVERIFY(rig.set().uploadStream.isEmpty());
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
