// SPDX-License-Identifier: GPL-3.0-or-later
// How close pelorin comes to the board's schedule, how fast it starts and
// how much memory it takes. A benchmark, not a test: it reports, it does
// not judge. Run it with bench/run (add --quick for a short run).
#include "eventloop.h"
#include "handovers.h"
#include "link/portmap.h"
#include "ptyboard.h"
#include "scriptedprompts.h"
#include "ui/tavro.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Clock = PtyBoard::Clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Pacing {
    QString name;
    int characters = 0;
    double median = 0, p99 = 0, worst = 0, drift = 0;
    // Gaps between consecutive characters, as the program handed them to
    // the device and as they arrived on the board side.
    double smallestHanded = 0, largestHanded = 0;
    double smallestGap = 0, largestGap = 0;
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

// The window side of a pacing run, in a process of its own so that the
// benchmark can stop and continue it from outside: a Send through the
// window to DEVICE, its time printed, then waiting for the upload's end.
//   --window DEVICE full|quick precise|coarse
int runWindow(const QStringList &args)
{
    const QString device = args.value(0);
    ScriptedPrompts prompts;
    Tavro window([&](int port) { return port == 1 ? device : QStringLiteral("/nonexistent/%1").arg(port); }, prompts);
    window.show();
    const QStringList boxes{"messagebox", "Text1", "Text2", "Text3", "Text4", "Text5", "Text6", "Text7", "Text8"};
    for (int slot = 1; slot <= 9; ++slot) {
        auto *box = window.findChild<QLineEdit *>(boxes[slot - 1]);
        box->setText(args.value(1) == QLatin1String("quick") ? QString()
                                                             : QStringLiteral("%1 ABCDEFGHIJKLMN").arg(slot).left(16));
    }
    // Only here: the coarse timer shows why the program uses a precise one.
    if (args.value(2) == QLatin1String("coarse"))
        window.findChild<QTimer *>(QStringLiteral("Timer1"))->setTimerType(Qt::CoarseTimer);
    auto *send = window.findChild<QPushButton *>(QStringLiteral("Command1"));
    const HandOvers handed(window.findChild<QTimer *>(QStringLiteral("Timer1")), window.messageSet());
    runUntil([] { return false; }, 300);  // let the window settle

    const Clock::time_point pressed = Clock::now();
    send->click();
    std::printf("pressed %lld length %lld\n", static_cast<long long>(pressed.time_since_epoch().count()),
                static_cast<long long>(window.messageSet().uploadStream.size()));
    std::fflush(stdout);
    const bool finished = runUntil([&] { return send->isEnabled(); }, 600000);
    std::printf("handed");
    for (const Clock::time_point t : handed.times)
        std::printf(" %lld", static_cast<long long>(t.time_since_epoch().count()));
    std::printf("\n");
    return finished ? 0 : 1;
}

std::pair<double, double> smallestAndLargestGap(const std::vector<Clock::time_point> &times)
{
    if (times.size() < 2)
        return {0, 0};
    double smallest = 1e9, largest = 0;
    for (size_t k = 1; k < times.size(); ++k) {
        smallest = std::min(smallest, ms(times[k] - times[k - 1]));
        largest = std::max(largest, ms(times[k] - times[k - 1]));
    }
    return {smallest, largest};
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

// stallsMs: after characters 10, 25, ... the window's process is stopped
// shortly before its next tick is due, for that long, and then continued.
// The margin allows for the kernel's late delivery of the character the
// due time is reckoned from.
Pacing measurePacing(const QString &name, bool quick, bool coarse, int spinners, const std::vector<int> &stallsMs = {})
{
    Pacing result;
    result.name = name;
    PtyBoard board;
    Spinners load(spinners);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the load start

    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--window"), board.path(), quick ? QStringLiteral("quick") : QStringLiteral("full"),
                  coarse ? QStringLiteral("coarse") : QStringLiteral("precise")});
    if (!window.waitForStarted() || !window.waitForReadyRead(10000))
        return result;
    const QList<QByteArray> started = window.readLine().trimmed().split(' ');
    if (started.size() < 4)
        return result;
    const Clock::time_point pressed{Clock::duration(started[1].toLongLong())};
    const int length = started[3].toInt();
    const Clock::time_point deadline = pressed + std::chrono::milliseconds(length * 500 + 10000);

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
    std::tie(result.smallestHanded, result.largestHanded) = smallestAndLargestGap(handed);

    const auto arrivals = board.arrivals();
    result.characters = int(arrivals.size());
    if (arrivals.empty())
        return result;
    std::vector<Clock::time_point> arrived;
    for (const PtyBoard::Arrival &a : arrivals)
        arrived.push_back(a.at);
    std::tie(result.smallestGap, result.largestGap) = smallestAndLargestGap(arrived);
    // After a stall the schedule moves back by the time the stall added to
    // its gap: deviations are measured from the moved schedule.
    std::vector<double> deviation;
    double shift = 0;
    size_t stall = 0;
    for (size_t k = 1; k <= arrivals.size(); ++k) {
        if (stall < result.stalls.size() && k - 1 == size_t(kStallAfter[stall]))
            shift += result.stalls[stall++].gapMs - 500.0;
        deviation.push_back(ms(arrivals[k - 1].at - pressed) - 500.0 * double(k) - shift);
    }
    result.drift = deviation.back();
    std::vector<double> size;
    for (double d : deviation)
        size.push_back(std::abs(d));
    std::sort(size.begin(), size.end());
    result.median = size[size.size() / 2];
    result.p99 = size[std::min(size.size() - 1, size_t(std::ceil(0.99 * double(size.size()))) - 1)];
    result.worst = size.back();
    return result;
}

// From constructing the window, probe of four absent ports included, to the
// window shown on screen.
double startupMs()
{
    ScriptedPrompts prompts;
    const Clock::time_point start = Clock::now();
    auto window =
        std::make_unique<Tavro>([](int port) { return QStringLiteral("/nonexistent/port-%1").arg(port); }, prompts);
    window->show();
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5000);
    return ms(Clock::now() - start);
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

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--window"))
        return runWindow(app.arguments().mid(2));
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    std::vector<Pacing> runs;
    runs.push_back(measurePacing(QStringLiteral("idle, precise timer"), quick, false, 0));
    runs.push_back(measurePacing(QStringLiteral("both cores busy, precise timer"), quick, false, 2));
    runs.push_back(measurePacing(QStringLiteral("idle, stalled 300 and 450 ms"), quick, false, 0, {300, 450}));
    if (!quick)
        runs.push_back(measurePacing(QStringLiteral("idle, coarse timer"), quick, true, 0));

    std::vector<double> startups;
    for (int i = 0; i < 20; ++i)
        startups.push_back(startupMs());
    std::sort(startups.begin(), startups.end());
    const long long peakKb = peakResidentKb();

    std::printf("Pacing: deviation of character k from k x 500 ms after Send (after a stall, from the\n"
                "schedule the stall moved), and the smallest and largest gaps between consecutive\n"
                "characters as the program handed them over and as the board side received them (ms)\n");
    std::printf("%-30s %5s %7s %7s %7s %7s | %8s %8s | %8s %8s\n", "case", "chars", "median", "p99", "max", "drift",
                "handed", "", "received", "");
    std::printf("%-30s %5s %7s %7s %7s %7s | %8s %8s | %8s %8s\n", "", "", "", "", "", "", "min", "max", "min", "max");
    for (const Pacing &p : runs) {
        std::printf("%-30s %5d %7.2f %7.2f %7.2f %+7.2f | %8.3f %8.3f | %8.3f %8.3f%s\n", qPrintable(p.name),
                    p.characters, p.median, p.p99, p.worst, p.drift, p.smallestHanded, p.largestHanded, p.smallestGap,
                    p.largestGap, p.complete ? "" : "  (incomplete)");
    }
    for (const Pacing &p : runs) {
        for (const Pacing::Stall &st : p.stalls) {
            std::printf("%s: stopped for %.1f ms; the gap %.3f ms = stall + %.3f ms; the character left %.3f ms "
                        "after the continue%s\n",
                        qPrintable(p.name), st.stalledMs, st.gapMs, st.gapMs - st.stalledMs, st.afterContinue,
                        st.held ? "" : " (the stall missed its tick)");
        }
    }
    std::printf("\nStart-up, construction to shown window, median of 20: %.1f ms (fastest %.1f, slowest %.1f)\n",
                startups[startups.size() / 2], startups.front(), startups.back());
    std::printf("Peak resident memory of pelorin, start to idle window: %.1f MB\n", double(peakKb) / 1024.0);
    return 0;
}
