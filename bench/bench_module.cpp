// AbstractDeviceModule::readWord of 10,000 holding registers from the simulated analyser
// over loopback TCP, through 0, 1 and 2 gateway hops, against a raw POSIX loop making
// the same requests (blocking write and read of the same frames on a socket to the same
// simulator) in the same run, and against ModbusClient::talk alone on the same frames.
// The summary gives exchanges, time per run and the
// module's rate as a share of the raw loop's, each the best of three repetitions.

#include "rawsocket.h"
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>

#include <defaultanalyser.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <benchmark/benchmark.h>

#include <QtCore/QByteArray>
#include <QtCore/QCoreApplication>
#include <QtCore/QMap>
#include <QtCore/QVector>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Registers = 10000;
const char *const Paths[] = { "1", "1/5", "1/5/3" };

SimulatorThread *simulator = nullptr;
QMap<QString, double> bestSeconds; // per run of 10,000 registers
QMap<int, int> exchangesPerRun;

void record(benchmark::State &state, const QString &key, double seconds)
{
    if (state.iterations() == 0 || seconds <= 0)
        return;
    const double perRun = seconds / double(state.iterations());
    if (!bestSeconds.contains(key) || perRun < bestSeconds[key])
        bestSeconds[key] = perRun;
    state.SetItemsProcessed(state.iterations() * Registers);
}

struct RawRequest
{
    QByteArray frame; // CRC included
    int replySize;
};

// The frames readWord sends for the run, built once outside the timing.
QVector<RawRequest> rawRequests(int hops)
{
    QVector<RawRequest> requests;
    const int limit = Modbus::AbstractDeviceModule::wordChunkLimit(hops);
    for (int start = 0; start < Registers; start += limit) {
        const int n = qMin(limit, Registers - start);
        MessageBuilder builder{ QString::fromLatin1(Paths[hops]) };
        builder.readWord((unsigned short)start, (unsigned short)n);
        QByteArray frame = builder.buffer();
        const unsigned short crc = crc16(frame.constData(), frame.size());
        frame.append(char(crc >> 8)).append(char(crc & 0xFF));
        requests.append({ frame, 5 + 2 * n + 3 * hops });
    }
    return requests;
}

int openRawTcp()
{
    return openLoopbackTcp(simulator->tcpPort());
}

bool rawExchange(int fd, const RawRequest &request, char *reply, int capacity)
{
    if (::write(fd, request.frame.constData(), size_t(request.frame.size())) != request.frame.size())
        return false;
    int got = 0;
    while (got < request.replySize) {
        const ssize_t n = ::read(fd, reply + got, size_t(capacity - got));
        if (n <= 0)
            return false;
        got += int(n);
    }
    return got == request.replySize;
}

void BM_RawLoop(benchmark::State &state)
{
    const int hops = int(state.range(0));
    const QVector<RawRequest> requests = rawRequests(hops);
    exchangesPerRun[hops] = requests.size();
    const int fd = openRawTcp();
    if (fd < 0) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    char reply[256];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const RawRequest &request : requests) {
            if (!rawExchange(fd, request, reply, sizeof reply)) {
                state.SkipWithError("exchange failed");
                ::close(fd);
                return;
            }
        }
    }
    record(state, QStringLiteral("raw %1").arg(hops),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ::close(fd);
}

void BM_ModuleReadWord(benchmark::State &state)
{
    const int hops = int(state.range(0));
    std::unique_ptr<DeviceDriver> driver(DeviceDriver::create(QUrl(simulator->url()), nullptr));
    driver->setPortName(simulator->url());
    if (!driver->open()) {
        state.SkipWithError("cannot open the driver");
        return;
    }
    ModbusClient client;
    client.setDriver(driver.get());
    const Modbus::AbstractDeviceModule module(QString::fromLatin1(Paths[hops]), &client);
    QByteArray buffer(2 * Registers, '\0');
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        Modbus::ModuleStatus status;
        if (module.readWord(0, Registers, buffer.data(), &status) != Registers || !status) {
            state.SkipWithError("readWord failed");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    record(state, QStringLiteral("module %1").arg(hops),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The same exchanges through ModbusClient::talk alone, to tell the client's share of
// the cost from the module's.
void BM_ClientTalk(benchmark::State &state)
{
    const int hops = int(state.range(0));
    const QVector<RawRequest> requests = rawRequests(hops);
    std::unique_ptr<DeviceDriver> driver(DeviceDriver::create(QUrl(simulator->url()), nullptr));
    driver->setPortName(simulator->url());
    if (!driver->open()) {
        state.SkipWithError("cannot open the driver");
        return;
    }
    ModbusClient client;
    client.setDriver(driver.get());
    char reply[256];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const RawRequest &request : requests) {
            if (client.talk(reply, sizeof reply, request.frame.constData(), request.frame.size() - 2) != request.replySize - 2) {
                state.SkipWithError("exchange failed");
                return;
            }
        }
    }
    record(state, QStringLiteral("client %1").arg(hops),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

BENCHMARK(BM_RawLoop)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientTalk)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModuleReadWord)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Repetitions(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv); // the simulator thread's event loop needs it
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SimulatorThread sim;
    buildDefaultAnalyser(sim.link());
    sim.link().setRequestLogLimit(0);
    for (const char *path : Paths)
        sim.link().module(QString::fromLatin1(path))->setHoldingRegisterCount(Registers);
    if (!sim.start(SimulatorThread::Tcp)) {
        std::fprintf(stderr, "bench_module: simulator did not start: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    simulator = &sim;
    benchmark::RunSpecifiedBenchmarks();
    for (int hops = 0; hops <= 2; ++hops) {
        const QString raw = QStringLiteral("raw %1").arg(hops);
        const QString module = QStringLiteral("module %1").arg(hops);
        if (!bestSeconds.contains(raw) || !bestSeconds.contains(module))
            continue;
        const QString client = QStringLiteral("client %1").arg(hops);
        std::printf("summary %d hops (best of 3): %d exchanges per run; module %.1f ms, raw loop %.1f ms, ratio %.3f;"
                    " client talk alone %.1f ms, module/client %.3f\n",
                    hops, exchangesPerRun.value(hops), bestSeconds[module] * 1e3, bestSeconds[raw] * 1e3,
                    bestSeconds[raw] / bestSeconds[module], bestSeconds.value(client) * 1e3,
                    bestSeconds.value(client) / bestSeconds[module]);
    }
    simulator = nullptr;
    return 0;
}
