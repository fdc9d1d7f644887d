// SPDX-License-Identifier: GPL-3.0-or-later
// The upload's record of its own hand-overs, by which the checks outside
// the program judge its pacing: what it holds after an upload through a
// pseudo-terminal, and an upload that goes on when it cannot be written.
#include "eventloop.h"
#include "link/comm.h"
#include "link/handovertrace.h"
#include "link/pacer.h"
#include "link/upload.h"
#include "link/uploader.h"
#include "model/messageset.h"
#include "ptyboard.h"
#include "samples.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <QTest>

#include <cstdint>
#include <vector>

namespace {

struct HandOver {
    std::int64_t ns;  // on the steady clock
    char byte;
};

// The trace's lines, or none at all if any line is not one.
std::vector<HandOver> handOvers(const QByteArray &text)
{
    static const QRegularExpression line(QStringLiteral("^(\\d+)\\.(\\d{9}) ([0-9a-f]{2})$"));
    std::vector<HandOver> read;
    for (const QByteArray &each : text.split('\n')) {
        if (each.isEmpty())
            continue;
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(each));
        if (!m.hasMatch())
            return {};
        read.push_back({m.captured(1).toLongLong() * 1'000'000'000 + m.captured(2).toLongLong(),
                        char(m.captured(3).toUInt(nullptr, 16))});
    }
    return read;
}

// Sends the set to the board through a link of its own, at the interval:
// what stopped it, if anything did.
QString uploadTo(PtyBoard &board, MessageSet &set, int intervalMs, HandOverTrace *trace)
{
    Comm comm([&] { return QStringList{board.path()}; });
    comm.lookUpDevices();
    comm.setCommPort(1);
    if (!comm.open())
        return comm.errorString();
    Pacer pacer;
    pacer.setInterval(intervalMs);
    Uploader uploader = trace ? Uploader(set, comm, pacer, nullptr, *trace) : Uploader(set, comm, pacer);
    QObject::connect(&pacer, &Pacer::timeout, &uploader, &Uploader::tick);
    bool finished = false;
    QString failure;
    QObject::connect(&uploader, &Uploader::finished, [&] { finished = true; });
    QObject::connect(&uploader, &Uploader::failed, [&](const QString &reason) { failure = reason; });
    if (!uploader.start().ok)
        return QStringLiteral("the set was refused");
    if (!runUntil([&] { return finished || !failure.isEmpty(); }, int(set.uploadStream.size()) * intervalMs + 30000))
        return QStringLiteral("the upload did not end");
    return failure;
}

}  // namespace

class TestHandOverTrace : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void tracesAnUpload();
    void sendsWithoutATraceItCannotWrite_data();
    void sendsWithoutATraceItCannotWrite();

private:
    QTemporaryDir m_dir;
    QString m_named;
};

// The process's trace is the file the environment names when it is first
// wanted: named before any upload, as a check names it to the program.
void TestHandOverTrace::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_named = m_dir.filePath(QStringLiteral("handovers"));
    qputenv(HandOverTrace::kVariable, QFile::encodeName(m_named));
}

// At the board's own pace, as the checks outside run it: a line for each
// character, in the stream's order, never two closer than the interval,
// and none stamped after its byte arrived. What the file held before stays.
void TestHandOverTrace::tracesAnUpload()
{
    PtyBoard board;
    QVERIFY(board.isValid());
    const QByteArray earlier = "41.500000000 51\n";
    QVERIFY(writeFile(m_named, earlier));
    MessageSet set = emptySet();
    QCOMPARE(uploadTo(board, set, upload::kTickMs, nullptr), QString());
    QVERIFY(board.waitForBytes(int(kAllEmptyStream.size()), 5000));

    const QByteArray text = contentsOf(m_named);
    QVERIFY2(text.startsWith(earlier), text.constData());
    const std::vector<HandOver> traced = handOvers(text.mid(earlier.size()));
    QByteArray bytes;
    for (const HandOver &h : traced)
        bytes += h.byte;
    QCOMPARE(bytes, kAllEmptyStream);
    QCOMPARE(board.received(), kAllEmptyStream);

    const std::vector<PtyBoard::Arrival> arrived = board.arrivals();
    for (std::size_t i = 0; i < traced.size(); ++i) {
        const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(arrived[i].at.time_since_epoch());
        QVERIFY2(traced[i].ns <= at.count(),
                 qPrintable(QStringLiteral("character %1 stamped after it arrived").arg(i + 1)));
        if (i == 0)
            continue;
        const std::int64_t gap = traced[i].ns - traced[i - 1].ns;
        QVERIFY2(gap >= std::int64_t(upload::kTickMs) * 1'000'000,
                 qPrintable(QStringLiteral("%1 ms before character %2").arg(double(gap) / 1e6, 0, 'f', 6).arg(i + 1)));
    }
}

void TestHandOverTrace::sendsWithoutATraceItCannotWrite_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("a folder") << m_dir.path();
    QTest::newRow("in a folder that is not there") << m_dir.filePath(QStringLiteral("gone/handovers"));
    // Opens, but every write fails, as on a full disk.
    QTest::newRow("a device that takes nothing") << QStringLiteral("/dev/full");
}

// Said once, with the file and the system's reason, and the whole set is
// sent all the same.
void TestHandOverTrace::sendsWithoutATraceItCannotWrite()
{
    QFETCH(QString, path);
    if (path.startsWith(QLatin1String("/dev/")) && !QFileInfo::exists(path))
        QSKIP("this system has no such device");
    PtyBoard board;
    QVERIFY(board.isValid());
    const QString said = QStringLiteral("^pelorin: the hand-over trace %1 cannot be written \\(.+\\); "
                                        "the upload goes on without it$");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(said.arg(QRegularExpression::escape(path))));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    HandOverTrace trace(path);
    MessageSet set = emptySet();
    QCOMPARE(uploadTo(board, set, 2, &trace), QString());
    QVERIFY(board.waitForBytes(int(kAllEmptyStream.size()), 5000));
    QCOMPARE(board.received(), kAllEmptyStream);
    QVERIFY(!trace.isOn());
}

QTEST_GUILESS_MAIN(TestHandOverTrace)
#include "tst_handovertrace.moc"
