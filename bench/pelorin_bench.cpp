// SPDX-License-Identifier: GPL-3.0-or-later
// How close pelorin comes to the board's schedule, how fast it starts and
// how much memory it takes. A benchmark, not a test: it reports, it does
// not judge. Run it with bench/run (add --quick for a short run, or
// --startup-only for the start-up alone). It measures the window's pacing and
// that of --send, and beside them the machine's own limit: a bare timer
// loop for the pacing, an empty window for the start-up. With --headless
// NEW OLD, it measures two builds of the program with no window instead:
// the start of a send and the memory it takes.
#include "cli/sendcommand.h"
#include "eventloop.h"
#include "handovers.h"
#include "link/portmap.h"
#include "ptyboard.h"
#include "scriptedprompts.h"
#include "ui/prompts.h"
#include "ui/tavro.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <fcntl.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Clock = PtyBoard::Clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Gaps {
    double smallest = 0, mean = 0, p95 = 0, largest = 0;
};

Gaps gapsOf(const std::vector<Clock::time_point> &times)
{
    Gaps g;
    std::vector<double> gaps;
    for (size_t k = 1; k < times.size(); ++k)
        gaps.push_back(ms(times[k] - times[k - 1]));
    if (gaps.empty())
        return g;
    std::sort(gaps.begin(), gaps.end());
    g.smallest = gaps.front();
    g.largest = gaps.back();
    double sum = 0;
    for (double d : gaps)
        sum += d;
    g.mean = sum / double(gaps.size());
    g.p95 = gaps[std::min(gaps.size() - 1, size_t(std::ceil(0.95 * double(gaps.size()))) - 1)];
    return g;
}

struct Pacing {
    QString name;
    int characters = 0;
    // Gaps between consecutive characters, as the sender handed them to the
    // device and as they arrived on the board side.
    Gaps handed, received;
    struct Stall {
        double stalledMs;      // from the stop to the continue
        double gapMs;          // from the character before to the one after
        double afterContinue;  // from the continue to the character after
        bool held;             // the character after did wait for the continue
    };
    std::vector<Stall> stalls;
    bool complete = false;
};

// Keeps both cores busy for as long as it lives.
class Spinners {
public:
    explicit Spinners(int count)
    {
        for (int i = 0; i < count; ++i) {
            auto process = std::make_unique<QProcess>();
            process->start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
            process->waitForStarted();
            m_processes.push_back(std::move(process));
        }
    }
    ~Spinners()
    {
        for (auto &process : m_processes) {
            process->kill();
            process->waitForFinished();
        }
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// Message `slot` of a pacing run: 188 characters in all, or 44 quick.
QString benchText(int slot, const QString &size)
{
    return size == QLatin1String("quick") ? QString() : QStringLiteral("%1 ABCDEFGHIJKLMN").arg(slot).left(16);
}

void printHanded(const std::vector<Clock::time_point> &times)
{
    std::printf("handed");
    for (const Clock::time_point t : times)
        std::printf(" %lld", static_cast<long long>(t.time_since_epoch().count()));
    std::printf("\n");
}

// The command line's side of a pacing run, as pelorin --send runs it: no
// window and no toolkit of a display, the same SendCommand, with the
// benchmark watching its pacer.
//   --send DEVICE full|quick
int runSend(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    QTemporaryDir dir;
    MessageSet set;
    giveStartValues(set);
    QByteArray file;
    for (int slot = 1; slot <= 9; ++slot) {
        set.messageText[slot] = benchText(slot, args.value(1));
        file += "x" + set.messageText[slot].toUtf8() + "\r\n";
    }
    file += QByteArray("0\r\n").repeated(8) + "1\r\n";
    const QString path = dir.filePath(QStringLiteral("bench.mes"));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
        return 1;
    out.close();

    SendCommand command({path, args.value(0), true});
    const HandOvers handed(command.pacer(), command.messageSet());
    std::printf("pressed %lld length %lld\n", static_cast<long long>(Clock::now().time_since_epoch().count()),
                static_cast<long long>(upload::buildStream(set).size()));
    std::fflush(stdout);
    const int status = command.run();
    printHanded(handed.times);
    return status;
}

// The window side of a pacing run, in a process of its own so that the
// benchmark can stop and continue it from outside: a Send through the
// window to DEVICE, its time printed, then waiting for the upload's end.
//   --window DEVICE full|quick
int runWindow(const QStringList &args)
{
    const QString device = args.value(0);
    ScriptedPrompts prompts;
    Tavro window([&] { return withAbsentAfter({device}); }, prompts);
    window.show();
    const QStringList boxes{"messagebox", "Text1", "Text2", "Text3", "Text4", "Text5", "Text6", "Text7", "Text8"};
    for (int slot = 1; slot <= 9; ++slot)
        window.findChild<QLineEdit *>(boxes[slot - 1])->setText(benchText(slot, args.value(1)));
    auto *send = window.findChild<QPushButton *>(QStringLiteral("Command1"));
    const HandOvers handed(window.findChild<Pacer *>(QStringLiteral("Timer1")), window.messageSet());
    runUntil([] { return false; }, 300);  // let the window settle

    const Clock::time_point pressed = Clock::now();
    send->click();
    std::printf("pressed %lld length %lld\n", static_cast<long long>(pressed.time_since_epoch().count()),
                static_cast<long long>(window.messageSet().uploadStream.size()));
    std::fflush(stdout);
    const bool finished = runUntil([&] { return send->isEnabled(); }, 600000);
    printHanded(handed.times);
    return finished ? 0 : 1;
}

// The machine's limit, in the same run: a bare loop that hands LENGTH
// bytes to DEVICE, each at an absolute deadline 500 ms after the last
// hand-over, waiting on a timer descriptor. Prints its hand-over times.
//   --bare DEVICE LENGTH
int runBare(const QStringList &args)
{
    const int fd = ::open(QFile::encodeName(args.value(0)).constData(), O_WRONLY | O_NOCTTY);
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    const int length = args.value(1).toInt();
    if (fd < 0 || timer < 0)
        return 1;
    std::printf("pressed %lld length %d\n", static_cast<long long>(Clock::now().time_since_epoch().count()), length);
    std::fflush(stdout);
    std::vector<Clock::time_point> handed;
    Clock::time_point last = Clock::now();
    for (int k = 0; k < length; ++k) {
        const auto due = (last + std::chrono::milliseconds(500)).time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(due);
        itimerspec at{};
        at.it_value.tv_sec = time_t(seconds.count());
        at.it_value.tv_nsec = long(std::chrono::duration_cast<std::chrono::nanoseconds>(due - seconds).count());
        ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &at, nullptr);
        std::uint64_t expirations = 0;
        if (::read(timer, &expirations, sizeof expirations) < 0)
            return 1;
        handed.push_back(Clock::now());
        if (::write(fd, "x", 1) != 1)
            return 1;
        last = Clock::now();
    }
    printHanded(handed);
    return 0;
}

// The child side of a start-up measurement: the editor as main() makes it,
// or an empty window of the same size, bare or with one line of text (the
// font database that any text needs), shown; prints the moment its window
// was first exposed.
//   --startup pelorin|empty|text
int runStartup(const QString &what)
{
    WidgetPrompts prompts;
    std::unique_ptr<QWidget> window;
    if (what == QLatin1String("pelorin")) {
        window = std::make_unique<Tavro>(systemSerialDevices, prompts);
    } else {
        window = std::make_unique<QWidget>();
        window->setFixedSize(354, 524);
        if (what == QLatin1String("text"))
            new QLabel(QStringLiteral("Select serial port #"), window.get());
    }
    window->show();
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 10000);
    std::printf("exposed %lld\n", static_cast<long long>(Clock::now().time_since_epoch().count()));
    return 0;
}

// From the start of the process to its window exposed on the X server.
double startupRunMs(const QString &what)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    child.setProcessEnvironment(env);
    const Clock::time_point started = Clock::now();
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--startup"), what});
    if (!child.waitForFinished(20000))
        return -1;
    const QList<QByteArray> out = child.readAllStandardOutput().trimmed().split(' ');
    if (out.size() < 2)
        return -1;
    return ms(Clock::time_point{Clock::duration(out[1].toLongLong())} - started);
}

// Medians of 15 rounds. Each round starts every kind once, in turn, so that
// a machine that slows down or warms up during the run weighs on all kinds
// alike.
std::vector<double> startupMedians(const QStringList &kinds)
{
    std::vector<std::vector<double>> runs(kinds.size());
    for (int round = 0; round < 15; ++round) {
        for (qsizetype i = 0; i < kinds.size(); ++i) {
            const qsizetype k = (i + round) % kinds.size();
            runs[k].push_back(startupRunMs(kinds[k]));
        }
    }
    std::vector<double> medians;
    for (std::vector<double> &r : runs) {
        std::sort(r.begin(), r.end());
        medians.push_back(r.front() < 0 ? -1 : r[r.size() / 2]);
    }
    return medians;
}

void printStartup(bool xvfb)
{
    if (!xvfb) {
        std::printf("\nStart-up: no X display; run under xvfb-run to measure it\n");
        return;
    }
    const std::vector<double> m =
        startupMedians({QStringLiteral("pelorin"), QStringLiteral("empty"), QStringLiteral("text")});
    std::printf("\nStart-up under Xvfb, process start to window exposed, median of 15 (ms):\n"
                "  pelorin %.1f; empty window %.1f (x%.2f); empty window with one line of text %.1f (x%.2f)\n",
                m[0], m[1], m[0] / m[1], m[2], m[0] / m[2]);
}

void sleepUntil(Clock::time_point t) { std::this_thread::sleep_until(t); }

// Waits, without an event loop, until n bytes have arrived.
bool awaitBytes(const PtyBoard &board, int n, Clock::time_point deadline)
{
    while (board.received().size() < n) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

enum class Sender { Bare, Offscreen, Xvfb, CommandLine };

// stallsMs: after characters 10, 25, ... the sender's process is stopped
// shortly before its next character is due, for that long, and then
// continued.
Pacing measurePacing(const QString &name, Sender sender, bool quick, int spinners,
                     const std::vector<int> &stallsMs = {})
{
    Pacing result;
    result.name = name;
    PtyBoard board;
    Spinners load(spinners);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the load start

    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"),
               sender == Sender::Xvfb ? QStringLiteral("xcb") : QStringLiteral("offscreen"));
    window.setProcessEnvironment(env);
    if (sender == Sender::Bare) {
        window.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--bare"), board.path(), quick ? QStringLiteral("44") : QStringLiteral("188")});
    } else if (sender == Sender::CommandLine) {
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        window.setProcessEnvironment(env);
        window.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--send"), board.path(), quick ? QStringLiteral("quick") : QStringLiteral("full")});
    } else {
        window.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--window"), board.path(), quick ? QStringLiteral("quick") : QStringLiteral("full")});
    }
    if (!window.waitForStarted() || !window.waitForReadyRead(10000))
        return result;
    const QList<QByteArray> started = window.readLine().trimmed().split(' ');
    if (started.size() < 4)
        return result;
    const Clock::time_point pressed{Clock::duration(started[1].toLongLong())};
    const int length = started[3].toInt();
    const Clock::time_point deadline = pressed + std::chrono::milliseconds(length * 600 + 10000);

    constexpr int kStallAfter[] = {10, 25, 40, 55};
    for (size_t i = 0; i < stallsMs.size() && i < std::size(kStallAfter); ++i) {
        const int k = kStallAfter[i];
        if (!awaitBytes(board, k, deadline))
            break;
        const Clock::time_point due = board.arrivals()[k - 1].at + std::chrono::milliseconds(500);
        sleepUntil(due - std::chrono::milliseconds(3));
        const Clock::time_point stopped = Clock::now();
        ::kill(pid_t(window.processId()), SIGSTOP);
        sleepUntil(stopped + std::chrono::milliseconds(stallsMs[i]));
        ::kill(pid_t(window.processId()), SIGCONT);
        const Clock::time_point continued = Clock::now();
        if (!awaitBytes(board, k + 1, deadline))
            break;
        const auto arrivals = board.arrivals();
        result.stalls.push_back({ms(continued - stopped), ms(arrivals[k].at - arrivals[k - 1].at),
                                 ms(arrivals[k].at - continued), arrivals[k].at > continued});
    }
    result.complete = window.waitForFinished(int(ms(deadline - Clock::now()))) && window.exitCode() == 0
                      && awaitBytes(board, length, Clock::now() + std::chrono::seconds(2));

    std::vector<Clock::time_point> handed;
    for (const QByteArray &t : window.readAll().trimmed().split(' ').mid(1))
        handed.push_back(Clock::time_point{Clock::duration(t.toLongLong())});
    result.handed = gapsOf(handed);

    std::vector<Clock::time_point> arrived;
    for (const PtyBoard::Arrival &a : board.arrivals())
        arrived.push_back(a.at);
    result.characters = int(arrived.size());
    result.received = gapsOf(arrived);
    return result;
}

// The real program, measured from outside: its peak resident memory from
// start to an idle window.
long long peakResidentKb()
{
    QProcess pelorin;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    pelorin.setProcessEnvironment(env);
    pelorin.start(QStringLiteral(PELORIN_BINARY), {});
    if (!pelorin.waitForStarted())
        return -1;
    runUntil([] { return false; }, 1500);
    long long peak = -1;
    QFile status(QStringLiteral("/proc/%1/status").arg(pelorin.processId()));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    pelorin.kill();
    pelorin.waitForFinished();
    return peak;
}

struct SendStart {
    double ms = -1;        // from the process's start to its "sending" line
    long long rssKb = -1;  // resident, three seconds into the send
    long long peakKb = -1;
};

long long statusKb(qint64 pid, const QByteArray &key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// One send of `set` by `binary` to a stand-in device, as a timer on the
// small computer starts it: no display, output to a pipe. Stopped once
// measured.
SendStart measureSendStart(const QString &binary, const QString &set, bool memory)
{
    SendStart result;
    PtyBoard board;
    QProcess pelorin;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    pelorin.setProcessEnvironment(env);
    pelorin.setProcessChannelMode(QProcess::MergedChannels);
    const Clock::time_point started = Clock::now();
    pelorin.start(binary, {QStringLiteral("--send"), set, QStringLiteral("--port"), board.path()});
    QByteArray said;
    while (!said.contains("sending") && pelorin.waitForReadyRead(5000))
        said += pelorin.readAll();
    if (said.contains("sending"))
        result.ms = ms(Clock::now() - started);
    else
        std::fprintf(stderr, "%s did not start sending: %s\n", qPrintable(binary), said.constData());
    if (memory && result.ms >= 0) {
        runUntil([] { return false; }, 3000);
        result.rssKb = statusKb(pelorin.processId(), "VmRSS:");
        result.peakKb = statusKb(pelorin.processId(), "VmHWM:");
    }
    pelorin.terminate();
    pelorin.waitForFinished();
    return result;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[size_t(p * double(values.size() - 1) + 0.5)];
}

// Rounds that start each build once, in alternating order, so that a
// machine that slows down or warms up weighs on both alike; the difference
// is taken within each round.
int runHeadless(const QString &newer, const QString &older)
{
    QTemporaryDir dir;
    const QString set = dir.filePath(QStringLiteral("set.mes"));
    QFile file(set);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    for (const char *line :
         {"xOPEN", "x", "xLOW", "x", "x", "x", "x", "x", "xIDLE", "1", "0", "1", "0", "0", "0", "0", "1", "1"})
        file.write(QByteArray(line) + "\r\n");
    file.close();
    constexpr int kRounds = 31;
    std::vector<double> newMs, oldMs, differences;
    for (int round = 0; round < kRounds; ++round) {
        const bool newFirst = round % 2 == 0;
        const double first = measureSendStart(newFirst ? newer : older, set, false).ms;
        const double second = measureSendStart(newFirst ? older : newer, set, false).ms;
        const double n = newFirst ? first : second, o = newFirst ? second : first;
        if (n < 0 || o < 0)
            return 1;
        newMs.push_back(n);
        oldMs.push_back(o);
        differences.push_back(o - n);
    }
    std::printf("Start of a send, process start to \"sending\", median of %d interleaved rounds (ms):\n"
                "  this build %.1f; the earlier build %.1f; faster by %.1f (median of the rounds' differences;\n"
                "  middle half %.1f to %.1f)\n",
                kRounds, percentile(newMs, 0.5), percentile(oldMs, 0.5), percentile(differences, 0.5),
                percentile(differences, 0.25), percentile(differences, 0.75));
    for (const auto &[name, binary] : {std::pair{"this build", newer}, std::pair{"the earlier build", older}}) {
        const SendStart memory = measureSendStart(binary, set, true);
        std::printf("Resident memory during a send, %s: %.1f MB (peak %.1f MB)\n", name, double(memory.rssKb) / 1024.0,
                    double(memory.peakKb) / 1024.0);
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && argv[1] == std::string_view("--send"))
        return runSend(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--window"))
        return runWindow(app.arguments().mid(2));
    if (app.arguments().value(1) == QLatin1String("--bare"))
        return runBare(app.arguments().mid(2));
    if (app.arguments().value(1) == QLatin1String("--startup"))
        return runStartup(app.arguments().value(2));
    if (app.arguments().value(1) == QLatin1String("--headless"))
        return runHeadless(app.arguments().value(2), app.arguments().value(3));
    const bool xvfb = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (app.arguments().contains(QStringLiteral("--startup-only"))) {
        printStartup(xvfb);
        return 0;
    }
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    std::vector<Pacing> runs;
    for (const int spinners : {0, 2}) {
        const QString load = spinners ? QStringLiteral("both cores busy") : QStringLiteral("idle");
        runs.push_back(measurePacing(QStringLiteral("bare timerfd loop, ") + load, Sender::Bare, quick, spinners));
        runs.push_back(measurePacing(QStringLiteral("pelorin offscreen, ") + load, Sender::Offscreen, quick, spinners));
        runs.push_back(measurePacing(QStringLiteral("pelorin --send, ") + load, Sender::CommandLine, quick, spinners));
        if (xvfb)
            runs.push_back(measurePacing(QStringLiteral("pelorin Xvfb, ") + load, Sender::Xvfb, quick, spinners));
    }
    runs.push_back(
        measurePacing(QStringLiteral("pelorin offscreen, stalled"), Sender::Offscreen, quick, 0, {300, 450}));
    runs.push_back(measurePacing(QStringLiteral("pelorin --send, stalled"), Sender::CommandLine, quick, 0, {300, 450}));
    const long long peakKb = peakResidentKb();

    std::printf("Pacing: gaps between consecutive characters as the sender handed them to the device\n"
                "and as the board side received them (ms); overrun = mean gap - 500\n");
    std::printf("%-36s %5s | %8s %8s %8s %8s %7s | %8s %8s\n", "case", "chars", "min", "mean", "p95", "max", "overrun",
                "recv min", "recv max");
    for (const Pacing &p : runs) {
        std::printf("%-36s %5d | %8.3f %8.3f %8.3f %8.3f %7.3f | %8.3f %8.3f%s\n", qPrintable(p.name), p.characters,
                    p.handed.smallest, p.handed.mean, p.handed.p95, p.handed.largest, p.handed.mean - 500.0,
                    p.received.smallest, p.received.largest, p.complete ? "" : "  (incomplete)");
    }
    for (const Pacing &p : runs) {
        for (const Pacing::Stall &st : p.stalls) {
            std::printf("%s: stopped for %.1f ms; the gap %.3f ms = stall + %.3f ms; the character left %.3f ms "
                        "after the continue%s\n",
                        qPrintable(p.name), st.stalledMs, st.gapMs, st.gapMs - st.stalledMs, st.afterContinue,
                        st.held ? "" : " (the stall missed its tick)");
        }
    }
    printStartup(xvfb);
    std::printf("Peak resident memory of pelorin, start to idle window: %.1f MB\n", double(peakKb) / 1024.0);
    return 0;
}
