// SPDX-License-Identifier: GPL-3.0-or-later
// The board's server's state folder: plain files for their owner alone,
// replaced whole, names that never lead out of it, and a bounded log.
#include "child.h"
#include "service/auditlog.h"
#include "service/statefolder.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString &path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

}  // namespace

class TestState : public QObject {
    Q_OBJECT
private slots:
    void names_data();
    void names();
    void locate_data();
    void locate();
    void writesWholeAndPrivate();
    void leftOversGo();
    void unreadableKeptAside();
    void logIsBounded();
};

void TestState::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("plain");
    QTest::newRow("a file") << "accounts.json" << true;
    QTest::newRow("in a subfolder") << "sets/Morning.mes" << true;
    QTest::newRow("up and out") << "../etc/passwd" << false;
    QTest::newRow("up within") << "sets/../accounts.json" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("hidden") << ".setup-code" << false;
    QTest::newRow("a backslash") << "sets\\x.mes" << false;
    QTest::newRow("an empty part") << "sets//x.mes" << false;
    QTest::newRow("a write's left-over") << "accounts.json.new-123" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("a NUL") << QStringLiteral("a") + QChar(0) + "b" << false;
}

void TestState::names()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(StateFolder::isPlainName(name), plain);
    QTemporaryDir dir;
    StateFolder state(dir.path() + "/state");
    QVERIFY(state.open());
    QCOMPARE(state.write(name, "x"), plain);
}

void TestState::locate_data()
{
    QTest::addColumn<QString>("systemd");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("xdg");
    QTest::addColumn<QString>("found");
    QTest::newRow("systemd's") << "/var/lib/pelorin"
                               << "/srv/p"
                               << "/x"
                               << "/var/lib/pelorin";
    QTest::newRow("systemd's first") << "/var/lib/pelorin:/var/lib/other"
                                     << ""
                                     << ""
                                     << "/var/lib/pelorin";
    QTest::newRow("--state") << ""
                             << "/srv/p"
                             << "/x"
                             << "/srv/p";
    QTest::newRow("XDG_STATE_HOME") << ""
                                    << ""
                                    << "/x"
                                    << "/x/pelorin";
    QTest::newRow("a relative XDG_STATE_HOME") << ""
                                               << ""
                                               << "x" << QDir::homePath() + "/.local/state/pelorin";
    QTest::newRow("none") << ""
                          << ""
                          << "" << QDir::homePath() + "/.local/state/pelorin";
}

void TestState::locate()
{
    QFETCH(QString, systemd);
    QFETCH(QString, given);
    QFETCH(QString, xdg);
    QFETCH(QString, found);
    const QByteArray oldSystemd = qgetenv("STATE_DIRECTORY"), oldXdg = qgetenv("XDG_STATE_HOME");
    qputenv("STATE_DIRECTORY", systemd.toLocal8Bit());
    qputenv("XDG_STATE_HOME", xdg.toLocal8Bit());
    const QString located = StateFolder::locate(given);
    qputenv("STATE_DIRECTORY", oldSystemd);
    qputenv("XDG_STATE_HOME", oldXdg);
    QCOMPARE(located, found);
}

void TestState::writesWholeAndPrivate()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/state";
    StateFolder state(path);
    QVERIFY2(state.open(), qPrintable(state.error()));
    QCOMPARE(modeOf(path), 0700);
    QVERIFY(state.write("sets/Morning.mes", "first"));
    QVERIFY(state.write("sets/Morning.mes", "second"));
    bool exists = false;
    QCOMPARE(state.read("sets/Morning.mes", &exists), QByteArray("second"));
    QVERIFY(exists);
    QCOMPARE(modeOf(path + "/sets/Morning.mes"), 0600);
    QCOMPARE(modeOf(path + "/sets"), 0700);
    // Nothing beside it but the file itself.
    QCOMPARE(QDir(path + "/sets").entryList(QDir::Files | QDir::Hidden), QStringList{"Morning.mes"});
    QCOMPARE(state.list("sets", ".mes"), QStringList{"Morning.mes"});
    QVERIFY(state.remove("sets/Morning.mes"));
    QVERIFY(state.read("sets/Morning.mes", &exists).isEmpty());
    QVERIFY(!exists);
    QVERIFY(state.remove("sets/Morning.mes"));  // gone already: nothing to do
    // A symbolic link where the new file is written is not followed.
    QVERIFY(QFile::link(dir.path() + "/elsewhere", path + QStringLiteral("/x.json.new-%1").arg(::getpid())));
    QVERIFY(!state.write("x.json", "bytes"));
    QVERIFY(!QFile::exists(dir.path() + "/elsewhere"));
}

void TestState::leftOversGo()
{
    QTemporaryDir dir;
    StateFolder state(dir.path());
    QVERIFY(state.open());
    QVERIFY(state.write("accounts.json", "old"));
    // A write cut short by a power cut: the old file is whole beside it.
    QFile cut(dir.path() + "/accounts.json.new-4242");
    QVERIFY(cut.open(QIODevice::WriteOnly) && cut.write("ne") == 2);
    cut.close();
    StateFolder again(dir.path());
    QVERIFY(again.open());
    QVERIFY(!QFile::exists(cut.fileName()));
    QCOMPARE(again.read("accounts.json"), QByteArray("old"));
}

void TestState::unreadableKeptAside()
{
    QTemporaryDir dir;
    StateFolder state(dir.path());
    QVERIFY(state.open());
    const auto wholeList = [](const QByteArray &bytes) {
        QJsonDocument document;
        return StateFolder::parseJson(bytes, QJsonValue::Array, &document);
    };
    // Twice in one second: the second copy beside the first, not over it.
    for (const QByteArray &bytes : {QByteArray("[{\"name\":"), QByteArray("{}")}) {
        QVERIFY(state.write("keys.json", bytes));
        QVERIFY(!state.readWhole("keys.json", wholeList, "Make new keys."));
    }
    const QStringList copies = QDir(dir.path()).entryList({"keys.json.unreadable-*"}, QDir::Files, QDir::Name);
    QCOMPARE(copies.size(), 2);
    QCOMPARE(state.read(copies.first()), QByteArray("[{\"name\":"));
    QCOMPARE(state.read(copies.last()), QByteArray("{}"));
    QVERIFY2(state.problems().last().contains("keys.json cannot be read (it holds no list)"),
             qPrintable(state.problems().join('\n')));
    // None now, but what was there is not forgotten while a copy is kept.
    QVERIFY(state.readWhole("keys.json", wholeList, "Make new keys."));
    QCOMPARE(state.problems().size(), 2);
    QVERIFY(state.problems().first().contains(dir.path() + '/' + copies.first()));
    QVERIFY(state.write("keys.json", "[]"));
    QVERIFY(state.readWhole("keys.json", wholeList, "Make new keys."));
    QVERIFY(QFile::remove(dir.path() + '/' + copies.first()) && QFile::remove(dir.path() + '/' + copies.last()));
    QVERIFY(state.readWhole("keys.json", wholeList, "Make new keys."));
    QVERIFY(state.problems().isEmpty());
}

void TestState::logIsBounded()
{
    QTemporaryDir dir;
    AuditLog log(dir.path());
    const auto now = AuditLog::Clock::now();
    const QString detail(AuditLog::kDetailLength * 3, QLatin1Char('x'));
    for (int i = 0; i < 12000; ++i)
        QVERIFY(log.record(now, "anna", "10.0.0.5", "sign-in failed", detail));
    const qint64 total = QFileInfo(dir.path() + "/log").size() + QFileInfo(dir.path() + "/log.1").size();
    QVERIFY2(total <= 2 * AuditLog::kFileBytes, qPrintable(QString::number(total)));
    QCOMPARE(modeOf(dir.path() + "/log"), 0600);
    // The newest entries are there, their detail cut to its length, and an
    // unfinished last line is skipped.
    QFile log0(dir.path() + "/log");
    QVERIFY(log0.open(QIODevice::Append) && log0.write("{\"time\":\"20") > 0);
    log0.close();
    const QList<QJsonObject> entries = log.entries(3);
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.last().value("event").toString(), QStringLiteral("sign-in failed"));
    QCOMPARE(entries.last().value("detail").toString().size(), AuditLog::kDetailLength);
    // A newline in what was recorded stays within its entry.
    QVERIFY(log.record(now, "anna\nforged", "10.0.0.5", "sign-in"));
    QCOMPARE(log.entries(1).first().value("account").toString(), QStringLiteral("anna\nforged"));
}

QTEST_GUILESS_MAIN(TestState)
#include "tst_state.moc"
