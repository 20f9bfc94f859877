// How fast the simulated analyser answers: the pure dispatcher alone, and a raw POSIX
// request/reply loop over loopback TCP and over the pseudo-terminal. The link's own
// benchmarks are measured against these figures.

#include "linkbench.h"
#include <simulatedlink.h>

#include <QByteArray>

namespace {

const QByteArray readRequest = QByteArray::fromHex("01 03 00 10 00 02 C6 43");
const QByteArray routedRequest = QByteArray::fromHex("01 2B 0C 05 03 00 10 00 02 C2 0F");

void BM_Dispatch(benchmark::State &state)
{
    SimulatedLink link;
    buildDefaultAnalyser(link);
    link.setRequestLogLimit(0);
    const QByteArray &request = state.range(0) ? routedRequest : readRequest;
    SimulatedReply reply;
    reply.bytes.reserve(512);
    for (auto _ : state) {
        link.handleFrame(request.constData(), request.size(), &reply);
        benchmark::DoNotOptimize(reply.bytes.constData());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Dispatch)->Arg(0)->Arg(1)->ArgName("routed");

// The raw loop on a connection the analyser serves, TCP or its pseudo-terminal.
void runRawExchanges(benchmark::State &state, bool tcp)
{
    const int fd = openRawLink(tcp);
    if (fd < 0) {
        state.SkipWithError("cannot reach the simulator");
        return;
    }
    for (auto _ : state) {
        if (!rawExchange(fd, readRequest, 9)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}

void BM_RawTcpExchange(benchmark::State &state) { runRawExchanges(state, true); }
void BM_RawPtyExchange(benchmark::State &state) { runRawExchanges(state, false); }
BENCHMARK(BM_RawTcpExchange)->UseRealTime();
BENCHMARK(BM_RawPtyExchange)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, SimulatorThread::Tcp | SimulatorThread::Pty);
}
