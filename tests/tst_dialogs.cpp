// SPDX-License-Identifier: GPL-3.0-or-later
// The real file dialog and message boxes, driven with keys and clicks as a
// person would, on whichever platform the test runs: what they ask, what
// they remember, and that nothing of theirs stays on the screen.
#include "rig.h"
#include "samples.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <functional>

namespace {

// Acts on each modal dialog as it comes up, one step per dialog.
class ModalScript : public QObject {
public:
    using Step = std::function<void(QWidget *)>;
    explicit ModalScript(QList<Step> steps) : m_steps(std::move(steps))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || modal == m_current || !modal->isVisible() || m_steps.isEmpty())
                return;
            m_current = modal;
            m_steps.takeFirst()(modal);
        });
        m_timer.start(20);
    }
    bool done() const { return m_steps.isEmpty(); }

private:
    QList<Step> m_steps;
    QPointer<QWidget> m_current;
    QTimer m_timer;
};

// The dialog's name field, once the dialog is shown, has settled and has
// the focus: a person starts typing only then.
QLineEdit *nameField(QWidget *dialog)
{
    auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    const bool ready =
        edit && QTest::qWaitForWindowExposed(dialog)
        && QTest::qWaitFor([&] { return edit->hasFocus() && QApplication::focusWindow() == dialog->windowHandle(); },
                           5000);
    QTest::qWait(100);
    return ready ? edit : nullptr;
}

// What a user does in the file dialog: types a name and presses Return.
void typeFileName(QFileDialog *dialog, const QString &name)
{
    QLineEdit *edit = nameField(dialog);
    QVERIFY(edit);
    edit->setText(name);
    QTest::keyClick(edit, Qt::Key_Return);
}

// The editor with the real dialogs, shown.
struct RealWindow {
    RealWindow()
    {
        prompts.setWindow(&window);
        window.show();
    }
    Ports ports{0};
    WidgetPrompts prompts;
    Tavro window{ports.map(), prompts};
};

// A person's typing: one key every 40 ms, through the window system, so
// that the name completion shows its list and takes keys while it does.
void typeAtHumanSpeed(QWidget *dialog, const QString &text)
{
    for (const QChar c : text) {
        QTest::keyClick(dialog->windowHandle(), c.toLatin1());
        QTest::qWait(40);
    }
}

void pressKey(QWidget *w, Qt::Key key) { QTest::keyClick(w->windowHandle(), key); }

// Ends a dialog with a key, as a person does: while the completion's list
// shows, the key may only close the list, and is pressed again. A dialog
// that still will not close is cancelled, so that the test fails rather
// than waits for ever.
void finish(QWidget *dialog, Qt::Key key)
{
    for (int i = 0; i < 3 && dialog->isVisible(); ++i) {
        pressKey(dialog, key);
        if (QTest::qWaitFor([&] { return !dialog->isVisible(); }, 1000))
            return;
    }
    if (dialog->isVisible()) {
        static_cast<QDialog *>(dialog)->reject();
        QFAIL("the dialog did not close");
    }
}

// A click that goes through the window system, as a person's does: a popup
// that is still open takes it.
void realClick(QWidget *window, QWidget *target)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, target->mapTo(window, target->rect().center()));
}

// Every window still shown besides the editor.
QStringList leftOnScreen(const QWidget *window)
{
    QStringList shown;
    for (const QWidget *w : QApplication::topLevelWidgets()) {
        if (w != window && w->isVisible())
            shown << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(w->metaObject()->className()),
                                                   w->parent() ? w->parent()->objectName() : QString());
    }
    return shown;
}

}  // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void init();
    void nothingLeftOnTheScreen_data();
    void nothingLeftOnTheScreen();
    void realDialogs();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestDialogs::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestDialogs::nothingLeftOnTheScreen_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("last");  // the key that ends the dialog
    QTest::addColumn<bool>("replace");  // the name is that of an existing file
    QTest::newRow("Load, Return") << "Command2"
                                  << "Return" << false;
    QTest::newRow("Save over a file, Return, Yes") << "Command3"
                                                   << "Return" << true;
    QTest::newRow("Load, Escape") << "Command2"
                                  << "Escape" << false;
}

void TestDialogs::nothingLeftOnTheScreen()
{
    QFETCH(QString, button);
    QFETCH(QString, last);
    QFETCH(bool, replace);

    RealWindow real;
    Tavro &window = real.window;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Names that share the start of the one typed, so the completion has
    // something to offer.
    for (const char *name : {"example.mes", "example-old.mes", "example-older.mes"})
        QVERIFY(writeFile(path(name), kWorkedExampleFile));

    bool listShown = false;
    bool askedToReplace = false;
    QList<ModalScript::Step> steps{[&](QWidget *w) {
        QLineEdit *edit = nameField(w);
        QVERIFY(edit);
        typeAtHumanSpeed(w, path("example"));
        listShown = QApplication::activePopupWidget() != nullptr;
        typeAtHumanSpeed(w, QStringLiteral(".mes"));
        QCOMPARE(edit->text(), path("example.mes"));
        finish(w, last == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
    }};
    if (replace) {
        steps << [&](QWidget *w) {
            askedToReplace = qobject_cast<QMessageBox *>(w) != nullptr;
            pressKey(w, Qt::Key_Return);
        };
    }
    {
        ModalScript script(steps);
        realClick(&window, window.findChild<QPushButton *>(button));
        QVERIFY(script.done());
    }
    QVERIFY2(listShown, "the name completion never showed its list");
    QCOMPARE(askedToReplace, replace);
    if (last == "Return" && !replace)
        QCOMPARE(window.messageSet().messageText[9], QStringLiteral("WELCOME"));
    if (replace)
        QVERIFY(contentsOf(path("example.mes")).startsWith("xmessage 1\r\n"));

    // The dialog's folder loads on in the background for a while.
    QTest::qWait(1000);
    QVERIFY2(leftOnScreen(&window).isEmpty(), qPrintable(leftOnScreen(&window).join(u' ')));
    QVERIFY(!QApplication::activePopupWidget());

    // The next click does what it says.
    bool saveDialogShown = false;
    {
        ModalScript script({[&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            saveDialogShown = dialog && dialog->acceptMode() == QFileDialog::AcceptSave;
            pressKey(w, Qt::Key_Escape);
        }});
        realClick(&window, window.findChild<QPushButton *>(QStringLiteral("Command3")));
        QVERIFY(QTest::qWaitFor([&] { return script.done(); }, 2000));
    }
    QVERIFY(saveDialogShown);
    QTest::qWait(200);
    QVERIFY2(leftOnScreen(&window).isEmpty(), qPrintable(leftOnScreen(&window).join(u' ')));
}

void TestDialogs::realDialogs()
{
    RealWindow real;
    Tavro &window = real.window;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QByteArray old = QByteArray("x\r\n").repeated(25);
    QVERIFY(writeFile(path("old.mes"), old));

    QString seenFilter;
    QString question;
    const auto chooseOld = [&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        QVERIFY(dialog);
        QCOMPARE(dialog->objectName(), QStringLiteral("CommonDialog1"));
        seenFilter = dialog->nameFilters().join(u';');
        typeFileName(dialog, path("old.mes"));
    };
    const auto readQuestion = [&](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        QVERIFY(box);
        question = box->windowTitle() + "|" + box->text();
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Yes));
        QVERIFY(box->button(QMessageBox::No));
    };

    {
        // No, then cancel the dialog that comes back.
        ModalScript script({chooseOld,
                            [&](QWidget *w) {
                                readQuestion(w);
                                static_cast<QMessageBox *>(w)->button(QMessageBox::No)->click();
                            },
                            [](QWidget *w) { static_cast<QDialog *>(w)->reject(); }});
        window.Command3_Click();
        QVERIFY(script.done());
    }
    QCOMPARE(seenFilter, QStringLiteral("Tavro message files (*.mes)"));
    QCOMPARE(question, QStringLiteral("Warning|old.mes exists\nOverwrite ?"));
    QCOMPARE(contentsOf(path("old.mes")), old);

    {
        // Return takes the default answer, Yes.
        ModalScript script({chooseOld, [&](QWidget *w) { QTest::keyClick(w, Qt::Key_Return); }});
        window.Command3_Click();
        QVERIFY(script.done());
    }
    QVERIFY(contentsOf(path("old.mes")).startsWith("xmessage 1\r\n"));

    // Load through the same dialog, which still knows the folder.
    QVERIFY(writeFile(path("example.mes"), kWorkedExampleFile));
    QString folder;
    {
        ModalScript script({[&](QWidget *w) {
            auto *dialog = static_cast<QFileDialog *>(w);
            folder = dialog->directory().absolutePath();
            typeFileName(dialog, path("example.mes"));
        }});
        window.Command2_Click();
        QVERIFY(script.done());
    }
    QCOMPARE(folder, QDir(m_dir->path()).absolutePath());
    QCOMPARE(window.messageSet().messageText[9], QStringLiteral("WELCOME"));
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
