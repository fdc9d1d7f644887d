// SPDX-License-Identifier: GPL-3.0-or-later
// Load and Save through the window: the dialogs and the question, what a
// file does to the window and the link, and saves that fail.
#include "child.h"
#include "rig.h"
#include "samples.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Everything a Load may change, to compare before and after.
struct Snapshot {
    explicit Snapshot(const Rig &rig)
    {
        for (int slot = 1; slot <= 9; ++slot)
            boxes << rig.box(slot)->text();
        for (int n = 1; n <= 16; ++n)
            checked << rig.option(n)->isChecked();
        const MessageSet &set = rig.set();
        record << QStringList(set.messageText.begin(), set.messageText.end())
               << QStringList(set.levelText.begin(), set.levelText.end()) << set.portText;
        for (bool flag : set.triggerOnOpen)
            checked << flag;
        shown = rig.combo()->currentText();
        linkOpen = rig.comm()->portOpen();
        port = rig.comm()->commPort();
    }
    bool operator==(const Snapshot &) const = default;

    QStringList boxes;
    QList<bool> checked;
    QStringList record;
    QString shown;
    bool linkOpen = false;
    int port = 0;
};

void enterWorkedExample(Rig &rig)
{
    const QStringList texts{"FRONT DOOR", "BACK DOOR", "", "ZONE 4", "ZONE 5", "ZONE 6", "ZONE 7", "ZONE 8", "WELCOME"};
    for (int slot = 1; slot <= 9; ++slot)
        rig.box(slot)->setText(texts[slot - 1]);
    for (int input : {1, 2, 5})
        rig.option(2 * input - 1)->click();
    rig.pick("2");
}

}  // namespace

class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void init();
    void fileGivenAtStartLoadsAsLoadDoes_data();
    void fileGivenAtStartLoadsAsLoadDoes();
    void savesAndLoadsTheWorkedExample();
    void overwriteQuestion();
    void cancelChangesNothing_data();
    void cancelChangesNothing();
    void loadRefusesABadFileWhole_data();
    void loadRefusesABadFileWhole();
    void portLine_data();
    void portLine();
    void loadDuringAnUploadChoosesItsPortAtTheEnd();
    void longMessageKeepsWhatTheBoxShows();
    void saveThatFailsKeepsTheOldFile_data();
    void saveThatFailsKeepsTheOldFile();
    void saveOntoAPathUnderAFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFiles::savesAndLoadsTheWorkedExample()
{
    Ports ports(4);
    Rig rig(ports.map());
    enterWorkedExample(rig);
    rig.prompts.saveAnswers << path("example.mes");
    QTest::mouseClick(rig.find<QPushButton>("Command3"), Qt::LeftButton);
    QVERIFY(rig.prompts.asked.isEmpty());
    QVERIFY(rig.prompts.told.isEmpty());
    QCOMPARE(contentsOf(path("example.mes")), kWorkedExampleFile);

    Ports otherPorts(4);
    Rig other(otherPorts.map());
    other.prompts.openAnswers << path("example.mes");
    QTest::mouseClick(other.find<QPushButton>("Command2"), Qt::LeftButton);
    QVERIFY(other.prompts.told.isEmpty());
    QCOMPARE(Snapshot(other).boxes, Snapshot(rig).boxes);
    QCOMPARE(other.set().messageText, rig.set().messageText);
    QCOMPARE(other.set().triggerOnOpen, rig.set().triggerOnOpen);
    for (int n = 1; n <= 16; ++n)
        QCOMPARE(other.option(n)->isChecked(), rig.option(n)->isChecked());
    QCOMPARE(other.set().portText, QStringLiteral("2"));
    QCOMPARE(other.combo()->currentText(), QStringLiteral("2"));
    QVERIFY(other.comm()->portOpen());
    QCOMPARE(other.comm()->commPort(), std::int16_t(2));
    QCOMPARE(other.set().levelText[1], QStringLiteral("1"));

    other.prompts.saveAnswers << path("again.mes");
    other.window->Command3_Click();
    QCOMPARE(contentsOf(path("again.mes")), kWorkedExampleFile);
}

void TestFiles::overwriteQuestion()
{
    Ports ports(0);
    Rig rig(ports.map());
    const QByteArray old = QByteArray("x\r\n").repeated(30);
    QVERIFY(writeFile(path("old.mes"), old));

    // No brings the dialog back; cancelling it leaves the file alone.
    rig.prompts.saveAnswers << path("old.mes");
    rig.prompts.overwriteAnswers << false;
    rig.window->Command3_Click();
    QCOMPARE(rig.prompts.dialogs, QStringList({"save", "save"}));
    QCOMPARE(rig.prompts.asked, QStringList{"old.mes exists\nOverwrite ?"});
    QCOMPARE(contentsOf(path("old.mes")), old);
    QVERIFY(rig.prompts.told.isEmpty());

    // No, then another name: that one is written, the old file is not.
    rig.prompts.saveAnswers << path("old.mes") << path("new.mes");
    rig.prompts.overwriteAnswers << false;
    rig.window->Command3_Click();
    QCOMPARE(contentsOf(path("old.mes")), old);
    QCOMPARE(contentsOf(path("new.mes")).count("\r\n"), 18);

    // Yes replaces the whole longer file.
    rig.prompts.saveAnswers << path("old.mes");
    rig.prompts.overwriteAnswers << true;
    rig.window->Command3_Click();
    QCOMPARE(contentsOf(path("old.mes")), contentsOf(path("new.mes")));
    QVERIFY(rig.prompts.told.isEmpty());
}

void TestFiles::cancelChangesNothing_data()
{
    QTest::addColumn<bool>("load");
    QTest::newRow("open dialog") << true;
    QTest::newRow("save dialog") << false;
}

void TestFiles::cancelChangesNothing()
{
    QFETCH(bool, load);
    Ports ports(2);
    Rig rig(ports.map());
    const Snapshot before(rig);
    if (load)
        rig.window->Command2_Click();
    else
        rig.window->Command3_Click();
    QCOMPARE(rig.prompts.dialogs.size(), 1);
    QVERIFY(Snapshot(rig) == before);
    QVERIFY(rig.prompts.told.isEmpty());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
}

void TestFiles::loadRefusesABadFileWhole_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("where");
    QTest::newRow("empty message line") << withLine(4, "") << "line 4";
    QTest::newRow("level not a number") << withLine(13, "zero") << "line 13";
    QTest::newRow("empty level line") << withLine(17, "") << "line 17";
    QTest::newRow("ends early") << kWorkedExampleFile.left(kWorkedExampleFile.indexOf("0\r\n0\r\n1")) << "line 12";
    QTest::newRow("no port line") << kWorkedExampleFile.chopped(3) << "line 18";
    QTest::newRow("line too long") << withLine(9, QByteArray(70000, 'x')) << "line 9";
    QTest::newRow("empty file") << QByteArray() << "empty";
}

void TestFiles::loadRefusesABadFileWhole()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, where);

    Ports ports(4);
    Rig rig(ports.map());
    rig.pick("4");
    rig.box(2)->setText(QStringLiteral("KEEP ME"));
    rig.option(15)->click();
    const Snapshot before(rig);

    QVERIFY(writeFile(path("bad.mes"), bytes));
    rig.prompts.openAnswers << path("bad.mes");
    rig.window->Command2_Click();
    QVERIFY(Snapshot(rig) == before);
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY2(rig.prompts.told.first().contains(where), qPrintable(rig.prompts.told.first()));
    QVERIFY(rig.prompts.told.first().contains("bad.mes"));

    // The next Load works as usual.
    QVERIFY(writeFile(path("good.mes"), kWorkedExampleFile));
    rig.prompts.openAnswers << path("good.mes");
    rig.window->Command2_Click();
    QCOMPARE(rig.box(1)->text(), QStringLiteral("FRONT DOOR"));
    QCOMPARE(rig.prompts.told.size(), 1);
}

void TestFiles::portLine_data()
{
    QTest::addColumn<int>("workingPorts");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("linkPort");  // 0: the link stays closed
    QTest::newRow("3 of 4 listed") << 4 << QByteArray("3") << "3" << 3;
    QTest::newRow("1 with the selector on 1 already") << 2 << QByteArray("1") << "1" << 1;
    QTest::newRow("4 with only 2 listed") << 2 << QByteArray("4") << "1" << 1;
    QTest::newRow("7") << 4 << QByteArray("7") << "" << 0;
    QTest::newRow("empty") << 4 << QByteArray("") << "" << 0;
    QTest::newRow("blank around 3") << 4 << QByteArray(" 3") << "" << 0;
}

void TestFiles::portLine()
{
    QFETCH(int, workingPorts);
    QFETCH(QByteArray, line);
    QFETCH(QString, shown);
    QFETCH(int, linkPort);

    Ports ports(workingPorts);
    Rig rig(ports.map());
    QVERIFY(writeFile(path("port.mes"), withLine(18, line)));
    rig.prompts.openAnswers << path("port.mes");
    rig.window->Command2_Click();
    QVERIFY(rig.prompts.told.isEmpty());
    QCOMPARE(rig.set().portText, QString::fromLatin1(line));
    QCOMPARE(rig.combo()->currentText(), shown);
    QCOMPARE(rig.comm()->portOpen(), linkPort != 0);
    if (linkPort)
        QCOMPARE(int(rig.comm()->commPort()), linkPort);

    // Whatever the line held goes back out with the next Save.
    rig.prompts.saveAnswers << path("out.mes");
    rig.window->Command3_Click();
    QVERIFY(contentsOf(path("out.mes")).endsWith("\r\n" + line + "\r\n"));
}

// The rest of a running upload stays on its board; the file's port is
// chosen once the upload is over.
void TestFiles::loadDuringAnUploadChoosesItsPortAtTheEnd()
{
    Ports ports(4);
    Rig rig(ports.map());
    rig.pick("1");
    rig.timer()->setInterval(5);
    QVERIFY(writeFile(path("port2.mes"), kWorkedExampleFile));
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    const QByteArray stream = rig.set().uploadStream.toLatin1();
    rig.prompts.openAnswers << path("port2.mes");
    QTest::mouseClick(rig.find<QPushButton>("Command2"), Qt::LeftButton);
    QCOMPARE(rig.set().portText, QStringLiteral("2"));
    QCOMPARE(rig.combo()->currentText(), QStringLiteral("1"));
    QCOMPARE(rig.comm()->commPort(), std::int16_t(1));

    QVERIFY(QTest::qWaitFor([&] { return !rig.busy(); }, 5000));
    QVERIFY(ports.boards[0].waitForBytes(stream.size(), 2000));
    QCOMPARE(ports.boards[0].received(), stream);
    QVERIFY(ports.boards[1].received().isEmpty());
    QCOMPARE(rig.combo()->currentText(), QStringLiteral("2"));
    QVERIFY(rig.comm()->portOpen());
    QCOMPARE(rig.comm()->commPort(), std::int16_t(2));
    QVERIFY(rig.prompts.told.isEmpty());
}

void TestFiles::longMessageKeepsWhatTheBoxShows()
{
    Ports ports(0);
    Rig rig(ports.map());
    QVERIFY(writeFile(path("long.mes"), withLine(1, "x12345678901234567890")
                                            .replace("xBACK DOOR", "x1234567890123456")
                                            .replace("xZONE 4", "x123456789012345\xf0\x9f\x98\x80"
                                                                "B")));
    rig.box(2)->setText(QStringLiteral("1234567890123456"));
    rig.prompts.openAnswers << path("long.mes");
    rig.window->Command2_Click();
    QCOMPARE(rig.box(1)->text(), QStringLiteral("1234567890123456"));
    QCOMPARE(rig.set().messageText[1], QStringLiteral("1234567890123456"));
    QCOMPARE(rig.set().messageText[2], QStringLiteral("1234567890123456"));
    // A character beyond the BMP at the cut goes whole or not at all.
    QCOMPARE(rig.box(4)->text(), QStringLiteral("123456789012345"));
    QCOMPARE(rig.set().messageText[4], QStringLiteral("123456789012345"));
}

void TestFiles::saveThatFailsKeepsTheOldFile_data()
{
    QTest::addColumn<QString>("limit");
    QTest::newRow("read-only folder") << "read-only";
    QTest::newRow("file size limit") << "size";
}

void TestFiles::saveThatFailsKeepsTheOldFile()
{
    QFETCH(QString, limit);
    const QByteArray old = kWorkedExampleFile;
    QVERIFY(writeFile(path("kept.mes"), old));

    ChildResult child;
    if (limit == "read-only") {
        // Root writes anywhere, so the child is someone else, whom the
        // folder does not let write.
        const OtherUser other;
        QVERIFY2(other.problem().isEmpty(), qPrintable(other.problem()));
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther
                                                         | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup));
        child = other.start({"--save-child", path("kept.mes")});
    } else {
        child = startChild({"--save-child", path("kept.mes")}, [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{40, 40};
            ::setrlimit(RLIMIT_FSIZE, &small);
        });
    }
    QCOMPARE(child.exitCode, 0);
    QVERIFY2(child.output.contains("Could not save") && child.output.contains("kept.mes"), qPrintable(child.output));

    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(contentsOf(path("kept.mes")), old);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.mes"});
}

void TestFiles::saveOntoAPathUnderAFile()
{
    Ports ports(0);
    Rig rig(ports.map());
    QVERIFY(writeFile(path("plain"), "not a folder"));
    rig.prompts.saveAnswers << path("plain/set.mes");
    rig.window->Command3_Click();
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY(rig.prompts.told.first().contains("plain/set.mes"));
    QCOMPARE(contentsOf(path("plain")), QByteArray("not a folder"));
}

void TestFiles::fileGivenAtStartLoadsAsLoadDoes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("loads");
    QTest::newRow("a good file") << "example.mes" << true;
    QTest::newRow("a refused file") << "bad.mes" << false;
    QTest::newRow("a missing file") << "missing.mes" << false;
    QTest::newRow("a folder") << "folder" << false;
}

void TestFiles::fileGivenAtStartLoadsAsLoadDoes()
{
    QFETCH(QString, name);
    QFETCH(bool, loads);
    QVERIFY(writeFile(path("example.mes"), kWorkedExampleFile));
    QVERIFY(writeFile(path("bad.mes"), withLine(12, "open")));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));

    Ports ports(2), otherPorts(2);
    Rig started(ports.map());
    const Snapshot atStart(started);
    started.window->loadFile(path(name));

    Rig loaded(otherPorts.map());
    loaded.prompts.openAnswers << path(name);
    loaded.window->Command2_Click();

    QCOMPARE(Snapshot(started), Snapshot(loaded));
    QCOMPARE(started.prompts.told, loaded.prompts.told);
    QCOMPARE(started.prompts.told.isEmpty(), loads);
    QCOMPARE(Snapshot(started) == atStart, !loads);
}

int main(int argc, char **argv)
{
    if (const int child = runChildMode(argc, argv); child >= 0)
        return child;
    QApplication app(argc, argv);
    TestFiles test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_files.moc"
