// AbstractDeviceModule::readWord of 10,000 holding registers from the simulated analyser
// over loopback TCP, through 0, 1 and 2 gateway hops, against a raw POSIX loop making
// the same requests (blocking write and read of the same frames on a socket to the same
// simulator) in the same run, and against ModbusClient::talk alone on the same frames.
//
// BM_RawLoop, BM_ClientTalk and BM_ModuleReadWord give each side's rate on its own. For
// the summary the module takes turns with the raw loop (BM_TurnsRaw) and with the client
// alone (BM_TurnsClient): a run of each, the order swapped every turn, a fixed number of
// turns. The summary gives exchanges and time per run and the module's rate as a share
// of the raw loop's and of the client's: the median of the turns' ratios.

#include "linkbench.h"
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>

#include <simulatedmodule.h>

#include <QtCore/QByteArray>
#include <QtCore/QMap>
#include <QtCore/QVector>

#include <cstdio>
#include <memory>

namespace {

constexpr int Registers = 10000;
constexpr int TurnCount = 20;
const char *const Paths[] = { "1", "1/5", "1/5/3" };

QMap<int, Turns> rawTurns;    // by hops
QMap<int, Turns> clientTurns;
QMap<int, int> exchangesPerRun;

struct RawRequest
{
    QByteArray frame; // CRC included
    int replySize;
};

// The frames readWord sends for the run, built once outside the timing.
QVector<RawRequest> rawRequests(int hops)
{
    QVector<RawRequest> requests;
    const int limit = Modbus::wordChunkLimit(hops);
    for (int start = 0; start < Registers; start += limit) {
        const int n = qMin(limit, Registers - start);
        MessageBuilder builder{ QString::fromLatin1(Paths[hops]) };
        builder.readWord((unsigned short)start, (unsigned short)n);
        QByteArray frame = builder.buffer();
        const unsigned short crc = crc16(frame.constData(), frame.size());
        frame.append(char(crc >> 8)).append(char(crc & 0xFF));
        requests.append({ frame, 5 + 2 * n + Modbus::RouteTripletSize * hops });
    }
    return requests;
}

// The three ways of reading the run, each on a connection of its own.
class Readers
{
public:
    explicit Readers(int hops)
        : m_requests(rawRequests(hops))
        , m_fd(openLoopbackTcp(analyser->tcpPort()))
        , m_driver(DeviceDriver::create(QUrl(analyser->url()), nullptr))
        , m_module(QString::fromLatin1(Paths[hops]), &m_client)
        , m_buffer(2 * Registers, '\0')
    {
        m_driver->setPortName(analyser->url());
        if (m_driver->open())
            m_client.setDriver(m_driver.get());
    }
    ~Readers()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isReady() const { return m_fd >= 0 && m_client.driver(); }
    int exchanges() const { return m_requests.size(); }

    bool raw()
    {
        for (const RawRequest &request : m_requests) {
            if (!rawExchange(m_fd, request.frame, request.replySize))
                return false;
        }
        return true;
    }
    bool client()
    {
        char reply[256];
        for (const RawRequest &request : m_requests) {
            if (m_client.talk(reply, sizeof reply, request.frame.constData(), request.frame.size() - 2)
                != request.replySize - 2)
                return false;
        }
        return true;
    }
    bool module()
    {
        Modbus::ModuleStatus status;
        const bool read = m_module.readWord(0, Registers, m_buffer.data(), &status) == Registers && status;
        benchmark::DoNotOptimize(m_buffer.data());
        return read;
    }

private:
    QVector<RawRequest> m_requests;
    int m_fd;
    std::unique_ptr<DeviceDriver> m_driver;
    ModbusClient m_client;
    Modbus::AbstractDeviceModule m_module;
    QByteArray m_buffer;
};

template <bool (Readers::*Read)()>
void runReads(benchmark::State &state)
{
    Readers readers(int(state.range(0)));
    if (!readers.isReady()) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    for (auto _ : state) {
        if (!(readers.*Read)()) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * Registers);
}

// One iteration is one turn: a run through the module and one the other way.
template <bool (Readers::*Other)()>
void runTurns(benchmark::State &state, QMap<int, Turns> &record)
{
    const int hops = int(state.range(0));
    Readers readers(hops);
    if (!readers.isReady()) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    exchangesPerRun[hops] = readers.exchanges();
    Turns &turns = record[hops];
    for (auto _ : state) {
        if (!turns.take([&] { return (readers.*Other)(); }, [&] { return readers.module(); })) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2 * Registers);
}

void BM_RawLoop(benchmark::State &state) { runReads<&Readers::raw>(state); }
void BM_ClientTalk(benchmark::State &state) { runReads<&Readers::client>(state); }
void BM_ModuleReadWord(benchmark::State &state) { runReads<&Readers::module>(state); }
void BM_TurnsRaw(benchmark::State &state) { runTurns<&Readers::raw>(state, rawTurns); }
void BM_TurnsClient(benchmark::State &state) { runTurns<&Readers::client>(state, clientTurns); }

BENCHMARK(BM_RawLoop)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientTalk)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModuleReadWord)->DenseRange(0, 2)->UseRealTime()->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurnsRaw)->DenseRange(0, 2)->UseRealTime()->Iterations(TurnCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurnsClient)->DenseRange(0, 2)->UseRealTime()->Iterations(TurnCount)->Unit(benchmark::kMillisecond);

void printSummary(int hops)
{
    const Turns raw = rawTurns.value(hops), client = clientTurns.value(hops);
    if (raw.count() == 0)
        return;
    std::printf("summary %d hops (%d turns): %d exchanges per run; module %.1f ms, raw loop %.1f ms, ratio %.3f",
                hops, raw.count(), exchangesPerRun.value(hops), raw.libraryBlockSeconds() * 1e3,
                raw.rawBlockSeconds() * 1e3, raw.medianRatio());
    if (client.count() > 0)
        std::printf("; client talk alone %.1f ms, module/client %.3f", client.rawBlockSeconds() * 1e3,
                    client.medianRatio());
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    const auto prepare = [](SimulatedLink &link) {
        for (const char *path : Paths)
            link.module(QString::fromLatin1(path))->setHoldingRegisterCount(Registers);
    };
    return runBenchmarks(argc, argv, SimulatorThread::Tcp, prepare, [] {
        for (int hops = 0; hops <= 2; ++hops)
            printSummary(hops);
    });
}
