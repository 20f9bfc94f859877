// Exchanges per second of ModbusClient::talk reading two registers from the simulated
// analyser, over loopback TCP and over the pseudo-terminal, against a raw POSIX loop
// (blocking write and read of the same frames) to the same simulator in the same run.
// The summary line gives the client's rate as a share of the raw loop's, each the best
// of three repetitions.

#include "rawsocket.h"
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <serialportdriver.h>

#include <defaultanalyser.h>
#include <simulatorthread.h>

#include <benchmark/benchmark.h>

#include <QtCore/QByteArray>
#include <QtCore/QCoreApplication>
#include <QtCore/QMap>
#include <QtCore/QThread>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Two holding registers from module 1: 9 bytes come back.
const QByteArray readRequest = QByteArray::fromHex("01 03 00 10 00 02 C6 43");
constexpr int ReplySize = 9;

SimulatorThread *simulator = nullptr;
QMap<QString, double> rates;

void recordRate(benchmark::State &state, const char *name, double seconds)
{
    // The best of the repetitions: the machine may be shared, and a disturbance only
    // ever slows a run down.
    const QString key = QString::fromLatin1(name);
    if (seconds > 0)
        rates[key] = qMax(rates.value(key), double(state.iterations()) / seconds);
    state.SetItemsProcessed(state.iterations());
}

bool rawExchange(int fd)
{
    if (::write(fd, readRequest.constData(), size_t(readRequest.size())) != readRequest.size())
        return false;
    char reply[64];
    int got = 0;
    while (got < ReplySize) {
        const ssize_t n = ::read(fd, reply + got, sizeof reply - size_t(got));
        if (n <= 0)
            return false;
        got += int(n);
    }
    return got == ReplySize;
}

int openRawTcp()
{
    return openLoopbackTcp(simulator->tcpPort());
}

int openRawPty()
{
    const int fd = ::open(simulator->ptyName().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios attributes;
    ::tcgetattr(fd, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(fd, TCSANOW, &attributes);
    return fd;
}

void runRaw(benchmark::State &state, bool tcp, const char *name)
{
    const int fd = tcp ? openRawTcp() : openRawPty();
    if (fd < 0) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!rawExchange(fd)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    recordRate(state, name, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ::close(fd);
}

void runClient(benchmark::State &state, bool tcp, const char *name)
{
    std::unique_ptr<DeviceDriver> driver;
    if (tcp) {
        driver.reset(DeviceDriver::create(QUrl(simulator->url()), nullptr));
        driver->setPortName(simulator->url());
    } else {
        driver.reset(new SerialPortDriver);
        driver->setPortName(simulator->serialPortName(115200));
    }
    if (!driver->open()) {
        state.SkipWithError("cannot open the driver");
        return;
    }
    ModbusClient client;
    client.setDriver(driver.get());
    MessageBuilder builder(1);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        builder.reset();
        builder.readWord(0x10, 2);
        if (client.talk(builder) != ReplySize - 2) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    recordRate(state, name, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void BM_RawTcp(benchmark::State &state) { runRaw(state, true, "raw tcp"); }
void BM_ClientTcp(benchmark::State &state) { runClient(state, true, "client tcp"); }
void BM_RawPty(benchmark::State &state) { runRaw(state, false, "raw pty"); }
void BM_ClientPty(benchmark::State &state) { runClient(state, false, "client pty"); }

BENCHMARK(BM_RawTcp)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_ClientTcp)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_RawPty)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_ClientPty)->UseRealTime()->MinTime(0.5)->Repetitions(3);

// What handing the device to the calling thread and back costs per exchange.
void BM_DeviceLockerRoundTrip(benchmark::State &state)
{
    std::unique_ptr<DeviceDriver> driver(DeviceDriver::create(QUrl(simulator->url()), nullptr));
    driver->setPortName(simulator->url());
    if (!driver->open()) {
        state.SkipWithError("cannot open the driver");
        return;
    }
    for (auto _ : state) {
        DeviceDriver::DeviceLocker locker(driver.get());
        benchmark::DoNotOptimize(driver->device()->thread());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeviceLockerRoundTrip);

void printRatio(const char *transport)
{
    const QString raw = QStringLiteral("raw ") + QLatin1String(transport);
    const QString client = QStringLiteral("client ") + QLatin1String(transport);
    if (!rates.contains(raw) || !rates.contains(client))
        return;
    std::printf("summary %s (best of 3): client %.0f/s, raw loop %.0f/s, ratio %.3f\n", transport, rates[client], rates[raw],
                rates[client] / rates[raw]);
}

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
    if (!sim.start(SimulatorThread::Tcp | SimulatorThread::Pty)) {
        std::fprintf(stderr, "bench_link: simulator did not start: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    simulator = &sim;
    benchmark::RunSpecifiedBenchmarks();
    printRatio("tcp");
    printRatio("pty");
    simulator = nullptr;
    return 0;
}
