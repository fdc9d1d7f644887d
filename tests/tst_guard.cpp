// SPDX-License-Identifier: GPL-3.0-or-later
// What the board's server refuses before it reads a request: a Host that
// is not this computer's, a page of another origin, and guessed passwords.
#include "service/throttle.h"
#include "service/trusteddevices.h"
#include "web/httpserver.h"
#include "web/pageaddresses.h"
#include "web/requestguard.h"

#include <QHostAddress>
#include <QTest>

using namespace std::chrono;

class TestGuard : public QObject {
    Q_OBJECT
private slots:
    void host_data();
    void host();
    void origin_data();
    void origin();
    void throttle_data();
    void throttle();
    void ownerNotKeptWaitingByOneAddress();
    void pageAddresses_data();
    void pageAddresses();
    void trustedDevices_data();
    void trustedDevices();
    void proxy_data();
    void proxy();
};

void TestGuard::host_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("local");
    QTest::addColumn<bool>("own");
    QTest::newRow("the address it came in on") << QByteArray("192.168.1.20:8437") << "192.168.1.20" << true;
    QTest::newRow("another address") << QByteArray("192.168.1.21:8437") << "192.168.1.20" << false;
    QTest::newRow("IPv6 in brackets") << QByteArray("[fe80::1]:8437") << "fe80::1" << true;
    QTest::newRow("IPv6 without brackets") << QByteArray("fe80::1") << "fe80::1" << false;
    QTest::newRow("IPv4 mapped into IPv6") << QByteArray("127.0.0.1:8437") << "::ffff:127.0.0.1" << true;
    QTest::newRow("the host name") << QByteArray("board-pi:8437") << "10.0.0.1" << true;
    QTest::newRow("its .local name, any case") << QByteArray("Board-Pi.LOCAL:8437") << "10.0.0.1" << true;
    QTest::newRow("a trailing dot") << QByteArray("board-pi.local.:8437") << "10.0.0.1" << true;
    QTest::newRow("localhost") << QByteArray("localhost:8437") << "127.0.0.1" << true;
    QTest::newRow("a name added by the owner") << QByteArray("tavro.example.org") << "10.0.0.1" << true;
    QTest::newRow("a stranger's name (rebinding)") << QByteArray("attacker.example:8437") << "127.0.0.1" << false;
    QTest::newRow("a name that ends in one of ours") << QByteArray("evilboard-pi:8437") << "10.0.0.1" << false;
    QTest::newRow("empty") << QByteArray() << "127.0.0.1" << false;
    QTest::newRow("user info") << QByteArray("board-pi@attacker.example") << "10.0.0.1" << false;
    QTest::newRow("a path") << QByteArray("board-pi/x") << "10.0.0.1" << false;
    QTest::newRow("a port out of range") << QByteArray("board-pi:65536") << "10.0.0.1" << false;
    QTest::newRow("a port that is no number") << QByteArray("board-pi:http") << "10.0.0.1" << false;
}

void TestGuard::host()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, local);
    QFETCH(bool, own);
    const QStringList names{"board-pi", "board-pi.local", "localhost", "tavro.example.org."};
    QCOMPARE(isOwnHost(header, QHostAddress(local), names), own);
}

void TestGuard::origin_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("verdict");
    const int absent = int(Origin::Absent), same = int(Origin::Same), foreign = int(Origin::Foreign);
    QTest::newRow("none") << QByteArray() << QByteArray() << QByteArray("board-pi:8437") << "http" << absent;
    QTest::newRow("its own page") << QByteArray("http://board-pi:8437") << QByteArray() << QByteArray("board-pi:8437")
                                  << "http" << same;
    QTest::newRow("another port, same address")
        << QByteArray("http://127.0.0.1:9000") << QByteArray() << QByteArray("127.0.0.1:8437") << "http" << foreign;
    QTest::newRow("another scheme") << QByteArray("https://board-pi:8437") << QByteArray()
                                    << QByteArray("board-pi:8437") << "http" << foreign;
    QTest::newRow("another site") << QByteArray("http://attacker.example") << QByteArray()
                                  << QByteArray("board-pi:8437") << "http" << foreign;
    QTest::newRow("null, as a sandbox sends")
        << QByteArray("null") << QByteArray() << QByteArray("board-pi:8437") << "http" << foreign;
    QTest::newRow("the implied port") << QByteArray("https://tavro.example.org") << QByteArray()
                                      << QByteArray("tavro.example.org:443") << "https" << same;
    QTest::newRow("a referer from its own page")
        << QByteArray() << QByteArray("http://board-pi:8437/sets?x=1") << QByteArray("board-pi:8437") << "http" << same;
    QTest::newRow("a foreign referer") << QByteArray() << QByteArray("http://attacker.example/board-pi:8437")
                                       << QByteArray("board-pi:8437") << "http" << foreign;
    QTest::newRow("Origin before Referer")
        << QByteArray("http://attacker.example") << QByteArray("http://board-pi:8437/") << QByteArray("board-pi:8437")
        << "http" << foreign;
    QTest::newRow("IPv6") << QByteArray("http://[::1]:8437") << QByteArray() << QByteArray("[::1]:8437") << "http"
                          << same;
}

void TestGuard::origin()
{
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, referer);
    QFETCH(QByteArray, host);
    QFETCH(QString, scheme);
    QFETCH(int, verdict);
    QCOMPARE(int(judgeOrigin(origin, referer, host, scheme)), verdict);
}

void TestGuard::throttle_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("wait");  // seconds, right after the last failure
    QTest::newRow("four") << 4 << 0;
    QTest::newRow("five") << 5 << 1;
    QTest::newRow("six") << 6 << 2;
    QTest::newRow("nine") << 9 << 16;
    QTest::newRow("at the ceiling") << 20 << 15 * 60;
    QTest::newRow("far past it") << 200 << 15 * 60;
}

void TestGuard::throttle()
{
    QFETCH(int, failures);
    QFETCH(int, wait);
    SignInThrottle throttle;
    const auto start = SignInThrottle::Clock::time_point{} + hours(1);
    auto now = start;
    // Each try made as soon as it is let in, and spread over more than the
    // global window, so that only the address's own count weighs.
    for (int i = 0; i < failures; ++i) {
        now += throttle.waitFor(QStringLiteral("10.0.0.9"), now) + minutes(11);
        throttle.failed(QStringLiteral("10.0.0.9"), now);
    }
    QCOMPARE(throttle.waitFor(QStringLiteral("10.0.0.9"), now).count(), wait);
    QCOMPARE(throttle.waitFor(QStringLiteral("10.0.0.9"), now + seconds(wait)).count(), 0);
    throttle.succeeded(QStringLiteral("10.0.0.9"));
    QCOMPARE(throttle.waitFor(QStringLiteral("10.0.0.9"), now).count(), 0);
}

void TestGuard::ownerNotKeptWaitingByOneAddress()
{
    SignInThrottle throttle;
    auto now = SignInThrottle::Clock::time_point{} + hours(1);
    const auto end = now + hours(2);
    // One address guessing as fast as it is let in, for two hours: the
    // owner, from another address, may try at any moment.
    while (now < end) {
        now += throttle.waitFor(QStringLiteral("10.0.0.66"), now);
        throttle.failed(QStringLiteral("10.0.0.66"), now);
        QCOMPARE(throttle.waitFor(QStringLiteral("10.0.0.2"), now).count(), 0);
    }
    // Many addresses guessing at one account hold back strangers'
    // sign-ins to it alone; no address of theirs slows any other.
    for (int i = 0; i < SignInThrottle::kAccountFailures; ++i)
        throttle.failed(QStringLiteral("10.1.0.%1").arg(i), now, QStringLiteral("Owner"));
    QVERIFY(throttle.heldBack(QStringLiteral("owner"), now) > seconds(0));
    QCOMPARE(throttle.heldBack(QStringLiteral("bob"), now).count(), 0);
    QCOMPARE(throttle.waitFor(QStringLiteral("10.1.0.200"), now).count(), 0);
    QCOMPARE(throttle.heldBack(QStringLiteral("owner"), now + SignInThrottle::kWindow).count(), 0);
}

void TestGuard::pageAddresses_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QStringList>("printed");
    QTest::newRow("one address") << "127.0.0.1" << QStringList{"http://127.0.0.1:8437/"};
    QTest::newRow("IPv6 loopback") << "::1" << QStringList{"http://[::1]:8437/"};
    QTest::newRow("any") << "any"
                         << QStringList{"http://board.local:8437/", "http://192.168.1.20:8437/",
                                        "http://[2001:db8::20]:8437/"};
    QTest::newRow("any IPv4") << "0.0.0.0" << QStringList{"http://board.local:8437/", "http://192.168.1.20:8437/"};
    QTest::newRow("any IPv6") << "::" << QStringList{"http://board.local:8437/", "http://[2001:db8::20]:8437/"};
}

// What the server prints is where it answers: an address it listens on
// alone, and never loopback or link-local for a wildcard.
void TestGuard::pageAddresses()
{
    QFETCH(QString, listen);
    QFETCH(QStringList, printed);
    const QHostAddress address = listen == "any" ? QHostAddress(QHostAddress::Any) : QHostAddress(listen);
    const QList<QHostAddress> machine{QHostAddress("127.0.0.1"), QHostAddress("::1"), QHostAddress("fe80::1"),
                                      QHostAddress("192.168.1.20"), QHostAddress("2001:db8::20")};
    QCOMPARE(::pageAddresses("http", {{address, 8437}}, "Board", machine), printed);
}

void TestGuard::trustedDevices_data()
{
    QTest::addColumn<QString>("issuedFor");
    QTest::addColumn<QString>("askedFor");
    QTest::addColumn<int>("ownFailures");
    QTest::addColumn<QByteArray>("change");  // "key", "tamper" or nothing
    QTest::addColumn<bool>("trusted");
    QTest::newRow("its account") << "owner"
                                 << "owner" << 0 << QByteArray() << true;
    QTest::newRow("its account, in another case") << "Owner"
                                                  << "OWNER" << 0 << QByteArray() << true;
    QTest::newRow("another account") << "bob"
                                     << "owner" << 0 << QByteArray() << false;
    QTest::newRow("a few wrong passwords") << "owner"
                                           << "owner" << TrustedDevices::kFailures - 1 << QByteArray() << true;
    QTest::newRow("too many wrong passwords") << "owner"
                                              << "owner" << TrustedDevices::kFailures << QByteArray() << false;
    QTest::newRow("signed by another key") << "owner"
                                           << "owner" << 0 << QByteArray("key") << false;
    QTest::newRow("its account name changed") << "bob"
                                              << "owner" << 0 << QByteArray("tamper") << false;
}

// A browser that signed in before is told apart by its cookie alone, which
// no one can make for another account, nor keep using to guess.
void TestGuard::trustedDevices()
{
    QFETCH(QString, issuedFor);
    QFETCH(QString, askedFor);
    QFETCH(int, ownFailures);
    QFETCH(QByteArray, change);
    QFETCH(bool, trusted);
    TrustedDevices devices("0123456789abcdef0123456789abcdef0123456789a");
    QByteArray cookie = devices.issue(issuedFor);
    if (change == "key")
        devices.setKey("another key of forty-three characters, made");
    if (change == "tamper") {
        const qsizetype dot = cookie.indexOf('.');
        cookie = askedFor.toUtf8().toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
                 + cookie.mid(dot);
    }
    const auto now = TrustedDevices::Clock::time_point{} + hours(1);
    for (int i = 0; i < ownFailures; ++i)
        devices.failed(cookie, now);
    QCOMPARE(devices.trusted(cookie, askedFor, now), trusted);
    // Its wrong passwords are forgotten in time.
    if (ownFailures > 0)
        QVERIFY(devices.trusted(cookie, askedFor, now + TrustedDevices::kWindow));
}

QTEST_GUILESS_MAIN(TestGuard)
// A forwarded client is believed from a trusted proxy alone, and then only
// the entry the proxy itself added.
void TestGuard::proxy_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QList<QByteArray>>("forwardedFor");
    QTest::addColumn<QByteArray>("proto");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("scheme");
    using L = QList<QByteArray>;
    QTest::newRow("trusted proxy") << "127.0.0.1" << L{"192.168.1.20"} << QByteArray("https") << "192.168.1.20"
                                   << "https";
    QTest::newRow("as IPv4 in IPv6") << "::ffff:127.0.0.1" << L{"192.168.1.20"} << QByteArray() << "192.168.1.20"
                                     << "http";
    QTest::newRow("client's claim before the proxy's entry")
        << "127.0.0.1" << L{"10.9.9.9, 192.168.1.20"} << QByteArray("http") << "192.168.1.20"
        << "http";
    QTest::newRow("two headers, the proxy's last")
        << "127.0.0.1" << L{"10.9.9.9", "fe80::1"} << QByteArray() << "fe80::1"
        << "http";
    QTest::newRow("not a proxy") << "192.168.1.7" << L{"10.9.9.9"} << QByteArray("https") << "192.168.1.7"
                                 << "http";
    QTest::newRow("no address in the header") << "127.0.0.1" << L{"unknown"} << QByteArray("gopher") << "127.0.0.1"
                                              << "http";
}

void TestGuard::proxy()
{
    QFETCH(QString, peer);
    QFETCH(QList<QByteArray>, forwardedFor);
    QFETCH(QByteArray, proto);
    QFETCH(QString, client);
    QFETCH(QString, scheme);
    HttpRequest request;
    request.peer = QHostAddress(peer);
    request.scheme = QStringLiteral("http");
    for (const QByteArray &value : forwardedFor)
        request.headers.append({"x-forwarded-for", value});
    if (!proto.isEmpty())
        request.headers.append({"x-forwarded-proto", proto});
    believeProxy(request, {QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("::1"))});
    QVERIFY(request.peer.isEqual(QHostAddress(client), QHostAddress::ConvertV4MappedToIPv4));
    QCOMPARE(request.scheme, scheme);
}

#include "tst_guard.moc"
