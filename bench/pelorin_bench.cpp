// How close pelorin comes to the board's schedule, how fast it starts and
// how much memory it takes. A benchmark, not a test: it reports, it does
// not judge. Run it with ./bench (add --quick for a short run).
#include "link/portmap.h"
#include "ptyboard.h"
#include "scriptedprompts.h"
#include "ui/tavro.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using Clock = PtyBoard::Clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Runs the event loop until `done` holds or the time is up.
bool spin(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

struct Pacing {
    QString name;
    int characters = 0;
    double median = 0, p99 = 0, worst = 0, drift = 0;
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

Pacing measurePacing(const QString &name, bool quick, Qt::TimerType timerType, int spinners)
{
    PtyBoard board;
    ScriptedPrompts prompts;
    Tavro window([&](int port) { return port == 1 ? board.path() : QStringLiteral("/nonexistent/%1").arg(port); },
                 prompts);
    window.show();
    const QStringList boxes{"messagebox", "Text1", "Text2", "Text3", "Text4", "Text5", "Text6", "Text7", "Text8"};
    for (int slot = 1; slot <= 9; ++slot) {
        auto *box = window.findChild<QLineEdit *>(boxes[slot - 1]);
        box->setText(quick ? QString() : QStringLiteral("%1 ABCDEFGHIJKLMN").arg(slot).left(16));
    }
    // Only here: the coarse timer shows why the program uses a precise one.
    window.findChild<QTimer *>(QStringLiteral("Timer1"))->setTimerType(timerType);
    auto *send = window.findChild<QPushButton *>(QStringLiteral("Command1"));

    Pacing result;
    result.name = name;
    Spinners load(spinners);
    spin([] { return false; }, 300);  // let the window settle and the load start

    const Clock::time_point pressed = Clock::now();
    send->click();
    const int length = int(window.messageSet().uploadStream.size());
    result.complete = spin([&] { return send->isEnabled(); }, length * 500 + 5000)
                      && spin([&] { return board.received().size() >= length; }, 2000);

    const auto arrivals = board.arrivals();
    std::vector<double> deviation;
    for (size_t k = 1; k <= arrivals.size(); ++k)
        deviation.push_back(ms(arrivals[k - 1].at - pressed) - 500.0 * double(k));
    result.characters = int(arrivals.size());
    if (deviation.empty())
        return result;
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
    spin([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5000);
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
    spin([] { return false; }, 1500);
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
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    std::vector<Pacing> runs;
    runs.push_back(measurePacing(QStringLiteral("idle, precise timer"), quick, Qt::PreciseTimer, 0));
    runs.push_back(measurePacing(QStringLiteral("both cores busy, precise timer"), quick, Qt::PreciseTimer, 2));
    if (!quick)
        runs.push_back(measurePacing(QStringLiteral("idle, coarse timer"), quick, Qt::CoarseTimer, 0));

    std::vector<double> startups;
    for (int i = 0; i < 20; ++i)
        startups.push_back(startupMs());
    std::sort(startups.begin(), startups.end());
    const long long peakKb = peakResidentKb();

    std::printf("Pacing: deviation of character k from k x 500 ms after Send (ms)\n");
    std::printf("%-32s %6s %8s %8s %8s %8s\n", "case", "chars", "median", "p99", "max", "drift");
    for (const Pacing &p : runs) {
        std::printf("%-32s %6d %8.2f %8.2f %8.2f %+8.2f%s\n", qPrintable(p.name), p.characters, p.median, p.p99,
                    p.worst, p.drift, p.complete ? "" : "  (incomplete)");
    }
    std::printf("\nStart-up, construction to shown window, median of 20: %.1f ms (fastest %.1f, slowest %.1f)\n",
                startups[startups.size() / 2], startups.front(), startups.back());
    std::printf("Peak resident memory of pelorin, start to idle window: %.1f MB\n", double(peakKb) / 1024.0);
    return 0;
}
