// The asynchronous module operations (readWordAsync and the rest) against the blocking
// ones, on the simulated analyser over loopback TCP, in the main thread's event loop as a
// window would use them:
//
// - BM_GuiStall: a 5 ms timer of the main thread while a silent route is polled every
//   100 ms for 3 s, asynchronously (a request every tick, whether or not the last has
//   finished) and, for comparison, with the blocking call in the timer. The worst gap
//   between the timer's ticks. The simulated gateway answers for a silent module behind
//   it at once, as a gateway that has given up would; the silent route here is therefore
//   a gateway that does not answer at all (7/3): five attempts of a doubled first wait.
// - BM_Fairness: the main thread writes a register (blocking) while another thread reads
//   the silent route back to back with blocking calls; the write's time against the time
//   of one of the worker's exchanges plus the write's own time alone.
// - BM_CloseDuringExchange: the driver closed from the main thread while a blocking read
//   of another thread and an asynchronous read wait on the silent route, with four more
//   asynchronous reads queued: how long close() takes, how long until the blocked thread
//   and every reply have ended, and with what.
// - BM_AsyncThroughput: reads of two registers of module 2 through readWordAsync, one
//   after another from finished() and four in flight, taking turns with the blocking
//   readWord loop on the same driver; the summary gives the asynchronous rate as a share
//   of the blocking loop's (the median of the turns' ratios). On loopback a reply comes
//   some 40 us after its request, so the asynchronous way's hand-overs between threads
//   weigh fully; the same again with every reply 1 ms late, as a module on a serial line
//   answers at the soonest.

#include "linkbench.h"
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <modbusclient.h>
#include <modulereply.h>

#include <simulatedgateway.h>
#include <simulatedmodule.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QMap>
#include <QtCore/QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleReply;
using Modbus::ModuleStatus;

namespace {

const QString SilentRoute = QStringLiteral("7/3");
const QString Healthy = QStringLiteral("2");

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Runs the main thread's event loop for msecs.
void runEventLoop(int msecs)
{
    QEventLoop loop;
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    loop.exec();
}

// --- GUI stall ------------------------------------------------------------------------

struct Stall
{
    double worstMs = -1;
    int polls = 0;    // requests made
    int finished = 0; // replies finished within the 3 s
    double silentExchangeMs = 0;
};
QMap<QString, Stall> stalls;

void runGuiStall(benchmark::State &state, bool async)
{
    Stall &record = stalls[async ? QStringLiteral("async") : QStringLiteral("blocking")];
    for (auto _ : state) {
        BenchLink link(state);
        if (!link.isOpen())
            return;
        ModbusClient &client = link.client;
        const AbstractDeviceModule silent(SilentRoute, &client);

        QElapsedTimer sinceTick;
        qint64 worst = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] { worst = qMax(worst, sinceTick.restart()); });
        std::vector<std::unique_ptr<ModuleReply>> replies;
        int finished = 0;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (async) {
                replies.emplace_back(silent.readWordAsync(0x10, 2));
                QObject::connect(replies.back().get(), &ModuleReply::finished, [&] { ++finished; });
            } else {
                quint16 words[2];
                const auto start = std::chrono::steady_clock::now();
                silent.readWord(0x10, 2, words);
                record.silentExchangeMs = msSince(start);
                ++finished;
            }
            ++record.polls;
        });
        record.polls = 0;
        sinceTick.start();
        tick.start(5);
        poll.start(100);
        runEventLoop(3000);
        worst = qMax(worst, sinceTick.elapsed());
        tick.stop();
        poll.stop();
        record.worstMs = double(worst);
        record.finished = finished;
        link.driver->close(); // ends the queued replies at once
    }
    state.counters["worst_gap_ms"] = record.worstMs;
}

void BM_GuiStallAsync(benchmark::State &state) { runGuiStall(state, true); }
void BM_GuiStallBlocking(benchmark::State &state) { runGuiStall(state, false); }

// --- fairness -------------------------------------------------------------------------

struct Fairness
{
    double worstWriteMs = -1;
    double medianWriteMs = -1;
    double aloneWriteMs = -1;
    double workerExchangeMs = -1; // the median of the worker's exchanges
    int writes = 0;
} fairness;

bool writeRegister(const AbstractDeviceModule &module, quint16 value)
{
    const quint16 word = quint16((value >> 8) | (value << 8)); // big-endian in memory
    ModuleStatus status;
    return module.writeWord(0x30, 1, &word, &status) == 1 && status;
}

void BM_Fairness(benchmark::State &state)
{
    constexpr int Writes = 6;
    for (auto _ : state) {
        BenchLink link(state);
        if (!link.isOpen())
            return;
        ModbusClient &client = link.client;
        const AbstractDeviceModule healthy(Healthy, &client);

        // The write's own time, on a quiet line.
        std::vector<double> alone;
        for (int i = 0; i < 20; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!writeRegister(healthy, quint16(i))) {
                state.SkipWithError("write failed");
                return;
            }
            alone.push_back(msSince(start));
        }
        std::sort(alone.begin(), alone.end());
        fairness.aloneWriteMs = alone[alone.size() / 2];

        std::atomic<bool> stop{ false };
        std::atomic<int> exchanges{ 0 };
        std::vector<double> exchangeMs; // the worker's, read once it has ended
        std::thread poller([&] {
            const AbstractDeviceModule silent(SilentRoute, &client);
            while (!stop) {
                quint16 words[2];
                const auto start = std::chrono::steady_clock::now();
                silent.readWord(0x10, 2, words);
                if (!stop)
                    exchangeMs.push_back(msSince(start));
                ++exchanges;
            }
        });
        // Writes at different points of the worker's exchanges.
        std::vector<double> writes;
        bool ok = true;
        for (int i = 0; i < Writes && ok; ++i) {
            while (exchanges < 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + 170 * i));
            const auto start = std::chrono::steady_clock::now();
            ok = writeRegister(healthy, quint16(0x100 + i));
            writes.push_back(msSince(start));
        }
        stop = true;
        link.driver->close(); // ends the worker's exchange at once
        poller.join();
        if (!ok) {
            state.SkipWithError("write failed");
            return;
        }
        std::sort(writes.begin(), writes.end());
        fairness.worstWriteMs = writes.back();
        fairness.medianWriteMs = writes[writes.size() / 2];
        std::sort(exchangeMs.begin(), exchangeMs.end());
        fairness.workerExchangeMs = exchangeMs.empty() ? -1 : exchangeMs[exchangeMs.size() / 2];
        fairness.writes = int(writes.size());
    }
    state.counters["worst_write_ms"] = fairness.worstWriteMs;
}

// --- close() during an exchange -------------------------------------------------------

struct Closing
{
    double worstCloseMs = -1;
    double worstBlockedMs = -1; // from close() until the blocked thread's call returned
    double worstRepliesMs = -1; // from close() until every reply had finished
    int replies = 0;
    int notOpen = 0;
    int blockedNotOpen = 0;
    int rounds = 0;
} closing;

void BM_CloseDuringExchange(benchmark::State &state)
{
    closing = Closing();
    for (auto _ : state) {
        BenchLink link(state);
        if (!link.isOpen())
            return;
        link.driver->setReadTimeouts(1000); // an exchange of ten seconds, were it not ended
        ModbusClient &client = link.client;
        const AbstractDeviceModule silent(SilentRoute, &client);
        std::atomic<int> written{ 0 };
        QObject::connect(&client, &ModbusClient::messageWritten, [&] { ++written; });

        std::vector<std::unique_ptr<ModuleReply>> replies;
        replies.emplace_back(silent.readWordAsync(0x10, 2));
        for (int i = 0; i < 4; ++i)
            replies.emplace_back(AbstractDeviceModule(Healthy, &client).readWordAsync(0x10, 2));
        std::atomic<int> blockedStatus{ 0 };
        std::chrono::steady_clock::time_point blockedEnd;
        std::thread blocked([&] {
            ModuleStatus status;
            quint16 words[2];
            silent.readWord(0x10, 2, words, &status);
            blockedEnd = std::chrono::steady_clock::now();
            blockedStatus = status.data();
        });
        // The asynchronous read is on the line, the blocked thread waits its turn.
        while (written < 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

        const auto start = std::chrono::steady_clock::now();
        link.driver->close();
        const double closeMs = msSince(start);
        const auto allFinished = [&] {
            return std::all_of(replies.begin(), replies.end(),
                               [](const std::unique_ptr<ModuleReply> &r) { return r->isFinished(); });
        };
        QEventLoop loop;
        while (!allFinished() && msSince(start) < 20000)
            loop.processEvents(QEventLoop::WaitForMoreEvents, 10);
        const double repliesMs = msSince(start);
        blocked.join();
        const double blockedMs = std::chrono::duration<double, std::milli>(blockedEnd - start).count();

        closing.worstCloseMs = std::max(closing.worstCloseMs, closeMs);
        closing.worstRepliesMs = std::max(closing.worstRepliesMs, repliesMs);
        closing.worstBlockedMs = std::max(closing.worstBlockedMs, blockedMs);
        for (const std::unique_ptr<ModuleReply> &reply : replies) {
            ++closing.replies;
            if (reply->isFinished() && reply->status().data() == ModuleStatus::NotOpenError)
                ++closing.notOpen;
        }
        if (blockedStatus == ModuleStatus::NotOpenError)
            ++closing.blockedNotOpen;
        ++closing.rounds;
    }
    state.counters["close_ms"] = closing.worstCloseMs;
}

// --- throughput -----------------------------------------------------------------------

constexpr int TurnReads = 200;
constexpr int TurnCount = 30;

// One way of reading asynchronously, on a line whose module takes turnaroundMs to answer.
struct ThroughputCase
{
    int inFlight;
    int turnaroundMs;
    QString label() const
    {
        return QStringLiteral("%1, %2")
            .arg(inFlight == 1 ? QStringLiteral("one after another") : QStringLiteral("%1 in flight").arg(inFlight),
                 turnaroundMs ? QStringLiteral("replies after %1 ms").arg(turnaroundMs)
                              : QStringLiteral("replies at once"));
    }
};
QMap<QString, Turns> throughput;

bool blockingReads(const AbstractDeviceModule &module)
{
    for (int i = 0; i < TurnReads; ++i) {
        quint16 words[2];
        if (module.readWord(0x10, 2, words) != 2)
            return false;
    }
    return true;
}

// TurnReads reads through readWordAsync, inFlight of them asked at a time; each reply
// that finishes asks the next.
bool asyncReads(const AbstractDeviceModule &module, int inFlight)
{
    QEventLoop loop;
    int asked = 0, done = 0;
    bool ok = true;
    std::function<void()> ask = [&] {
        ModuleReply *reply = module.readWordAsync(0x10, 2);
        ++asked;
        QObject::connect(reply, &ModuleReply::finished, [&, reply] {
            ok = ok && reply->status() && reply->count() == 2;
            reply->deleteLater();
            if (++done == TurnReads)
                loop.quit();
            else if (asked < TurnReads)
                ask();
        });
    };
    for (int i = 0; i < inFlight; ++i)
        ask();
    loop.exec();
    return ok && done == TurnReads;
}

void runThroughput(benchmark::State &state, ThroughputCase c)
{
    BenchLink link(state);
    if (!link.isOpen())
        return;
    ModbusClient &client = link.client;
    const AbstractDeviceModule module(Healthy, &client);
    Turns &record = throughput[c.label()];
    SimulatedFaultPlan &faults = analyser->link().faults();
    if (c.turnaroundMs > 0)
        faults.delayReplies(TurnCount * TurnReads * 4, c.turnaroundMs);
    for (auto _ : state) {
        if (!record.take([&] { return blockingReads(module); }, [&] { return asyncReads(module, c.inFlight); })) {
            state.SkipWithError("a read failed");
            break;
        }
    }
    faults.clear();
    state.SetItemsProcessed(state.iterations() * 2 * TurnReads);
}

void BM_AsyncThroughput(benchmark::State &state)
{
    runThroughput(state, { int(state.range(0)), int(state.range(1)) });
}

BENCHMARK(BM_GuiStallAsync)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GuiStallBlocking)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fairness)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseDuringExchange)->UseRealTime()->Iterations(5)->Unit(benchmark::kMillisecond);
// Arguments: replies in flight, the module's turnaround in ms.
BENCHMARK(BM_AsyncThroughput)->UseRealTime()->Iterations(TurnCount)->Args({ 1, 0 })->Args({ 4, 0 });
BENCHMARK(BM_AsyncThroughput)->UseRealTime()->Iterations(TurnCount / 3)->Args({ 1, 1 })->Args({ 4, 1 });

void printSummary()
{
    const Stall async = stalls.value(QStringLiteral("async"));
    const Stall blocking = stalls.value(QStringLiteral("blocking"));
    if (async.worstMs >= 0)
        std::printf("summary GUI stall (5 ms timer, silent route %s polled every 100 ms for 3 s): asynchronous "
                    "worst gap %.0f ms (goal at most 20; %d asked, %d finished)\n",
                    qPrintable(SilentRoute), async.worstMs, async.polls, async.finished);
    if (blocking.worstMs >= 0)
        std::printf("summary GUI stall, the same with the blocking call: worst gap %.0f ms (%d polls of %.0f ms)\n",
                    blocking.worstMs, blocking.finished, blocking.silentExchangeMs);
    if (fairness.writes > 0)
        std::printf("summary fairness (%d blocking writes of the main thread while a thread reads the silent route "
                    "back to back): worst %.0f ms, median %.0f ms; goal within one exchange of the worker (%.0f ms) "
                    "+ the write alone (%.2f ms) = %.0f ms\n",
                    fairness.writes, fairness.worstWriteMs, fairness.medianWriteMs, fairness.workerExchangeMs,
                    fairness.aloneWriteMs, fairness.workerExchangeMs + fairness.aloneWriteMs);
    if (closing.rounds > 0)
        std::printf("summary close() during an exchange with the silent route (%d rounds): close() took at most "
                    "%.2f ms (goal at most 20); the blocked thread's read returned within %.2f ms with NotOpenError "
                    "%d of %d times; %d of %d replies ended NotOpenError, the last within %.2f ms\n",
                    closing.rounds, closing.worstCloseMs, closing.worstBlockedMs, closing.blockedNotOpen,
                    closing.rounds, closing.notOpen, closing.replies, closing.worstRepliesMs);
    for (auto it = throughput.cbegin(); it != throughput.cend(); ++it) {
        const Turns &record = it.value();
        if (record.count() == 0)
            continue;
        std::printf("summary asynchronous reads, %s (%d turns of %d reads each way): %.0f/s, blocking loop %.0f/s, "
                    "ratio %.3f (goal at least 0.9)\n",
                    qPrintable(it.key()), record.count(), TurnReads, TurnReads / record.libraryBlockSeconds(),
                    TurnReads / record.rawBlockSeconds(), record.medianRatio());
    }
}

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks(
        argc, argv, SimulatorThread::Tcp,
        [](SimulatedLink &link) {
            SimulatedGateway *gateway = link.addGateway(7);
            gateway->addModule(3);
            gateway->setResponding(false);
        },
        printSummary);
}
