// SPDX-License-Identifier: GPL-3.0-or-later
// Faults from outside: ports held by others, devices that go away, files
// that are huge, broken or not files at all, and folders that vanish.
#include "child.h"
#include "rig.h"
#include "samples.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Root may open a terminal that another program holds exclusively; while
// this lives, the test process may not.
class WithoutSysAdmin {
public:
    WithoutSysAdmin()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
        m_changed = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutSysAdmin()
    {
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_changed = false;
};

}  // namespace

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void init();
    void portHeldByAnotherProgram();
    void pickWithoutPermission();
    void theListProbesWhenOpened();
    void deviceGoneBetweenPickAndSend();
    void hugeFilesAreRefusedCheaply_data();
    void hugeFilesAreRefusedCheaply();
    void oddFiles_data();
    void oddFiles();
    void saveIntoAVanishedFolder();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFaults::portHeldByAnotherProgram()
{
    Ports ports(4);
    WithoutSysAdmin noBypass;

    // At start-up: port 2 is held, so the probe stops there, and says why
    // once the window is shown.
    QVERIFY(ports.boards[1].holdExclusively());
    {
        Rig rig(ports.map());
        QCOMPARE(rig.entries(), QStringList{"1"});
        QCOMPARE(rig.combo()->currentText(), QStringLiteral("1"));
        QVERIFY(rig.comm()->portOpen());
        QVERIFY(rig.prompts.told.isEmpty());
        rig.window->show();
        QVERIFY(QTest::qWaitFor([&] { return !rig.prompts.told.isEmpty(); }, 2000));
        QCOMPARE(rig.prompts.told.size(), 1);
        const QString message = rig.prompts.told.first();
        QVERIFY2(message.contains(QStringLiteral("Serial port 2 (%1)").arg(ports.boards[1].path()))
                     && message.contains("another program is using it")
                     // A pseudo-terminal is no USB adapter that ModemManager probes.
                     && !message.contains("ModemManager"),
                 qPrintable(message));
    }

    // Later: port 4 is taken after start-up, and then picked.
    Ports later(4);
    Rig rig(later.map());
    QCOMPARE(rig.entries().size(), 4);
    QVERIFY(later.boards[3].holdExclusively());
    rig.pick("4");
    QVERIFY(!rig.comm()->portOpen());
    QCOMPARE(rig.prompts.told.size(), 1);
    const QString message = rig.prompts.told.first();
    QVERIFY2(message.contains("port 4") && message.contains(later.boards[3].path()), qPrintable(message));
    QVERIFY2(!message.contains("dialout"), qPrintable(message));

    // The editor goes on with another port.
    rig.pick("3");
    QVERIFY(rig.comm()->portOpen());
    rig.timer()->setInterval(1);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !rig.busy(); }, 30000));
    QVERIFY(later.boards[2].waitForBytes(rig.set().uploadStream.size(), 2000));
    QCOMPARE(rig.prompts.told.size(), 1);
}

void TestFaults::pickWithoutPermission()
{
    PtyBoard first, second;
    // Root may open anything, so the child runs as someone else, who then
    // has to own the devices to open them at all.
    const OtherUser other;
    QVERIFY2(other.problem().isEmpty(), qPrintable(other.problem()));
    // The second belongs to a group the child is not in (root's), which
    // may write to it once the child has taken its own rights away.
    if (other.isSomeoneElse()) {
        QCOMPARE(::chown(qPrintable(first.path()), other.uid(), other.gid()), 0);
        QCOMPARE(::chown(qPrintable(second.path()), other.uid(), 0), 0);
    }
    const ChildResult child = other.start({"--pick-child", first.path(), second.path()});
    QCOMPARE(child.exitCode, 0);
    QVERIFY2(child.output.contains("port 2") && child.output.contains(second.path()), qPrintable(child.output));
    // Only someone else is outside the device's group; a user's own
    // device is in a group of their own session.
    const QString advice = QStringLiteral("sudo usermod -aG root nobody");
    QVERIFY2(child.output.contains(advice) == other.isSomeoneElse(), qPrintable(child.output));
    QVERIFY(child.output.contains("open 0"));
}

// Opening the port list probes again: a port that has appeared is
// offered, the link's own port counts as opened even while no one else may
// open it, and nothing changes during an upload.
void TestFaults::theListProbesWhenOpened()
{
    Ports ports(3);
    WithoutSysAdmin noBypass;
    ports.gone << 1 << 2 << 3;
    Rig rig(ports.map());
    QVERIFY(rig.entries().isEmpty());
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY2(rig.prompts.told.value(0).contains("Plug in the board's adapter"), qPrintable(rig.prompts.told.value(0)));

    ports.gone = {3};
    rig.combo()->showPopup();
    rig.combo()->hidePopup();
    QCOMPARE(rig.entries(), (QStringList{"1", "2"}));
    QCOMPARE(rig.combo()->currentIndex(), -1);  // the probe chooses nothing itself
    rig.pick("2");
    QVERIFY(rig.comm()->portOpen());
    QVERIFY(ports.boards[1].holdExclusively());

    rig.combo()->showPopup();
    rig.combo()->hidePopup();
    QCOMPARE(rig.entries(), (QStringList{"1", "2"}));
    QCOMPARE(rig.combo()->currentText(), QStringLiteral("2"));

    rig.timer()->setInterval(5);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    ports.gone.clear();
    rig.combo()->showPopup();
    rig.combo()->hidePopup();
    QCOMPARE(rig.entries(), (QStringList{"1", "2"}));
    QVERIFY(QTest::qWaitFor([&] { return !rig.busy(); }, 30000));
    QVERIFY(ports.boards[1].waitForBytes(rig.set().uploadStream.size(), 2000));
    QCOMPARE(ports.boards[1].received(), rig.set().uploadStream.toLatin1());

    rig.combo()->showPopup();
    rig.combo()->hidePopup();
    QCOMPARE(rig.entries(), (QStringList{"1", "2", "3"}));
    QCOMPARE(rig.prompts.told.size(), 1);
}

void TestFaults::deviceGoneBetweenPickAndSend()
{
    Ports ports(2);
    Rig rig(ports.map());
    rig.pick("2");
    ports.boards[1].hangUp();
    rig.timer()->setInterval(5);
    QTest::mouseClick(rig.send(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !rig.busy(); }, 2000));
    QTest::qWait(50);
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY2(rig.prompts.told.first().contains("after 0 of "), qPrintable(rig.prompts.told.first()));
    QVERIFY(!rig.comm()->portOpen());
    QCOMPARE(rig.send()->text(), QStringLiteral("Send to Tavro"));
}

void TestFaults::hugeFilesAreRefusedCheaply_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("where");
    QTest::newRow("1 GiB, no line end") << "sparse"
                                        << "line 1";
    QTest::newRow("18 lines of 10 MB") << "long lines"
                                       << "line 1";
}

void TestFaults::hugeFilesAreRefusedCheaply()
{
    QFETCH(QString, kind);
    QFETCH(QString, where);

    qint64 size = 0;
    if (kind == "sparse") {
        QFile file(path("huge.mes"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(1) << 30));
        size = file.size();
    } else {
        QFile file(path("huge.mes"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray line = "x" + QByteArray(10'000'000, 'M') + "\r\n";
        for (int n = 0; n < 18; ++n)
            QCOMPARE(file.write(line), qint64(line.size()));
        size = file.size();
    }
    QVERIFY(writeFile(path("small.mes"), kWorkedExampleFile));

    const ChildResult baseline = startChild({"--load-child", path("small.mes")});
    const ChildResult huge = startChild({"--load-child", path("huge.mes")});
    QCOMPARE(baseline.exitCode, 0);
    QCOMPARE(huge.exitCode, 0);
    QVERIFY2(huge.output.contains("Could not load") && huge.output.contains(where), qPrintable(huge.output));

    const long long baseKb = childFigure(baseline.output, "peak");
    const long long hugeKb = childFigure(huge.output, "peak");
    const long long ms = childFigure(huge.output, "ms");
    qInfo("file of %lld MB: peak memory %lld MB against %lld MB for a normal load, refused in %lld ms", size >> 20,
          hugeKb >> 10, baseKb >> 10, ms);
    QVERIFY(baseKb > 0 && hugeKb > 0 && ms >= 0);
    QVERIFY2(hugeKb - baseKb < 16 * 1024, "the reader took memory in proportion to the file");
    QVERIFY(ms < 1000);
}

void TestFaults::oddFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<QString>("message1");

    QByteArray garbage(4096, '\0');
    QRandomGenerator random(2026);
    for (char &c : garbage)
        c = char(random.bounded(256));
    QTest::newRow("binary garbage") << garbage << false << "";
    QTest::newRow("NUL bytes in a message")
        << QByteArray(kWorkedExampleFile).replace("xFRONT", QByteArray("x\0FR\0", 5)) << true
        << QString::fromLatin1("\0FR\0 DOOR", 9);
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + kWorkedExampleFile << true << "FRONT DOOR";
    QTest::newRow("CR-only line ends") << QByteArray(kWorkedExampleFile).replace("\r\n", "\r") << false << "";
    const QString text = QString::fromLatin1(kWorkedExampleFile);
    QTest::newRow("UTF-16") << QByteArray("\xFF\xFE")
                                   + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2)
                            << false << "";
}

void TestFaults::oddFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, loads);
    QFETCH(QString, message1);

    Ports ports(0);
    Rig rig(ports.map());
    const QString before = rig.box(1)->text();
    QVERIFY(writeFile(path("odd.mes"), bytes));
    rig.prompts.openAnswers << path("odd.mes");
    rig.window->Command2_Click();
    if (loads) {
        QVERIFY(rig.prompts.told.isEmpty());
        QCOMPARE(rig.set().messageText[1], message1);
        QCOMPARE(rig.box(1)->text(), message1);
    } else {
        QCOMPARE(rig.prompts.told.size(), 1);
        QCOMPARE(rig.box(1)->text(), before);
    }
}

void TestFaults::saveIntoAVanishedFolder()
{
    Ports ports(0);
    Rig rig(ports.map());
    QVERIFY(QDir(m_dir->path()).mkdir("gone"));
    rig.prompts.saveAnswers << path("gone/set.mes");
    rig.prompts.afterSaveDialog = [&rig](const QString &chosen) {
        QDir(QFileInfo(chosen).absolutePath()).removeRecursively();
        rig.prompts.afterSaveDialog = nullptr;
    };
    rig.window->Command3_Click();
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY2(rig.prompts.told.first().contains("gone/set.mes"), qPrintable(rig.prompts.told.first()));
    QVERIFY(!QFileInfo::exists(path("gone")));

    // The same set saves fine once there is somewhere to put it.
    rig.prompts.saveAnswers << path("set.mes");
    rig.window->Command3_Click();
    QCOMPARE(rig.prompts.told.size(), 1);
    QVERIFY(QFileInfo(path("set.mes")).size() > 0);
}

int main(int argc, char **argv)
{
    if (const int child = runChildMode(argc, argv); child >= 0)
        return child;
    QApplication app(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
