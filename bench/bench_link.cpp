// Exchanges per second of ModbusClient::talk reading two registers from the simulated
// analyser, over loopback TCP and over the pseudo-terminal, against a raw POSIX loop
// (blocking write and read of the same frames) to the same simulator in the same run.
//
// BM_Raw* and BM_Client* give each side's rate on its own. For the summary the two take
// turns instead (BM_Turns*): a block of raw exchanges, then a block through the client,
// the order swapped every turn, so that both meet the same load on a shared machine. The
// summary line gives the client's rate as a share of the raw loop's: the median of the
// turns' ratios.
//
// BM_SilentModule and BM_Scan time what a silent module costs with the default time-outs:
// one exchange with an absent module and the exchange with a present one right after it,
// and the console's scan of addresses 1-32 (a first wait of 30 ms, two attempts).

#include "linkbench.h"
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>

#include <QtCore/QByteArray>
#include <QtCore/QMap>

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

// Two holding registers from module 1: 9 bytes come back.
const QByteArray readRequest = QByteArray::fromHex("01 03 00 10 00 02 C6 43");
constexpr int ReplySize = 9;

constexpr int TurnExchanges = 200;
constexpr int TurnCount = 60;

QMap<QString, Turns> turns;

bool clientExchange(ModbusClient &client, MessageBuilder &builder)
{
    builder.reset();
    builder.readWord(0x10, 2);
    return client.talk(builder) == ReplySize - 2;
}

void runRaw(benchmark::State &state, bool tcp)
{
    const int fd = openRawLink(tcp);
    if (fd < 0) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    for (auto _ : state) {
        if (!rawExchange(fd, readRequest, ReplySize)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}

void runClient(benchmark::State &state, bool tcp)
{
    BenchLink link(state, tcp);
    if (!link.isOpen())
        return;
    ModbusClient &client = link.client;
    MessageBuilder builder(1);
    for (auto _ : state) {
        if (!clientExchange(client, builder)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// One iteration is one turn: TurnExchanges raw exchanges and as many through the client.
void runTurns(benchmark::State &state, bool tcp, const char *name)
{
    // The pseudo-terminal's line settings are shared by both openers: the raw loop's
    // blocking reads need its own, so it opens last.
    BenchLink link(state, tcp);
    const int fd = link.isOpen() ? openRawLink(tcp) : -1;
    if (fd < 0) {
        if (link.isOpen())
            state.SkipWithError("cannot reach the simulator");
        return;
    }
    ModbusClient &client = link.client;
    MessageBuilder builder(1);
    Turns &record = turns[QString::fromLatin1(name)];
    const auto block = [](auto exchange) {
        for (int i = 0; i < TurnExchanges; ++i) {
            if (!exchange())
                return false;
        }
        return true;
    };
    for (auto _ : state) {
        if (!record.take([&] { return block([&] { return rawExchange(fd, readRequest, ReplySize); }); },
                         [&] { return block([&] { return clientExchange(client, builder); }); })) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2 * TurnExchanges);
    ::close(fd);
}

struct Costs
{
    double silentMs = -1;
    double nextMs = -1;
    double scanSeconds = -1;
} costs;

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void BM_SilentModule(benchmark::State &state)
{
    BenchLink link(state);
    if (!link.isOpen())
        return;
    ModbusClient &client = link.client;
    MessageBuilder builder(1);
    for (auto _ : state) {
        quint16 word = 0;
        auto start = std::chrono::steady_clock::now();
        Modbus::AbstractDeviceModule(QStringLiteral("9"), &client).readEventCount(&word);
        costs.silentMs = msSince(start);
        start = std::chrono::steady_clock::now();
        if (!clientExchange(client, builder)) {
            state.SkipWithError("the next exchange failed");
            break;
        }
        costs.nextMs = msSince(start);
    }
    state.counters["silent_ms"] = costs.silentMs;
    state.counters["next_ms"] = costs.nextMs;
}

void BM_Scan(benchmark::State &state)
{
    BenchLink link(state);
    if (!link.isOpen())
        return;
    link.driver->setReadTimeouts(30);
    ModbusClient &client = link.client;
    client.setAttempts(2);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int address = 1; address <= 32; ++address) {
            quint16 word = 0;
            Modbus::AbstractDeviceModule(QString::number(address), &client).readEventCount(&word);
        }
        costs.scanSeconds = msSince(start) / 1000;
    }
    state.counters["scan_s"] = costs.scanSeconds;
}

void BM_RawTcp(benchmark::State &state) { runRaw(state, true); }
void BM_ClientTcp(benchmark::State &state) { runClient(state, true); }
void BM_RawPty(benchmark::State &state) { runRaw(state, false); }
void BM_ClientPty(benchmark::State &state) { runClient(state, false); }
void BM_TurnsTcp(benchmark::State &state) { runTurns(state, true, "tcp"); }
void BM_TurnsPty(benchmark::State &state) { runTurns(state, false, "pty"); }

BENCHMARK(BM_RawTcp)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_ClientTcp)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_RawPty)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_ClientPty)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_TurnsTcp)->UseRealTime()->Iterations(TurnCount);
BENCHMARK(BM_TurnsPty)->UseRealTime()->Iterations(TurnCount);
BENCHMARK(BM_SilentModule)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Scan)->UseRealTime()->Iterations(2);

void printRatio(const char *transport)
{
    const Turns record = turns.value(QLatin1String(transport));
    if (record.count() == 0)
        return;
    std::printf("summary %s (%d turns of %d exchanges each way): client %.0f/s, raw loop %.0f/s, ratio %.3f\n", transport,
                record.count(), TurnExchanges, TurnExchanges / record.libraryBlockSeconds(),
                TurnExchanges / record.rawBlockSeconds(), record.medianRatio());
}

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, SimulatorThread::Tcp | SimulatorThread::Pty, nullptr, [] {
        printRatio("tcp");
        printRatio("pty");
        if (costs.silentMs >= 0)
            std::printf("summary silent module: %.0f ms (five first waits of 100 ms), the next request to another "
                        "module %.2f ms\n", costs.silentMs, costs.nextMs);
        if (costs.scanSeconds >= 0)
            std::printf("summary scan of addresses 1-32 (first wait 30 ms, two attempts): %.2f s\n", costs.scanSeconds);
    });
}
