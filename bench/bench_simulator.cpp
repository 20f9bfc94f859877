// How fast the simulated analyser answers: the pure dispatcher alone, and a raw POSIX
// request/reply loop over loopback TCP and over the pseudo-terminal. The link's own
// benchmarks are measured against these figures.

#include <defaultanalyser.h>
#include <simulatedlink.h>
#include <simulatorthread.h>

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray readRequest = QByteArray::fromHex("01 03 00 10 00 02 C6 43");
const QByteArray routedRequest = QByteArray::fromHex("01 2B 0C 05 03 00 10 00 02 C2 0F");

// One exchange on a blocking descriptor: write the request, read the expected bytes.
bool exchange(int fd, const QByteArray &request, int replySize)
{
    if (::write(fd, request.constData(), size_t(request.size())) != request.size())
        return false;
    char reply[256];
    int got = 0;
    while (got < replySize) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            return false;
        const ssize_t n = ::read(fd, reply + got, size_t(sizeof reply - got));
        if (n <= 0)
            return false;
        got += int(n);
    }
    return got == replySize;
}

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

void BM_RawTcpExchange(benchmark::State &state)
{
    SimulatorThread simulator;
    buildDefaultAnalyser(simulator.link());
    if (!simulator.start(SimulatorThread::Tcp)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(simulator.tcpPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        state.SkipWithError("connect failed");
        ::close(fd);
        return;
    }
    for (auto _ : state) {
        if (!exchange(fd, readRequest, 9)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}
BENCHMARK(BM_RawTcpExchange)->UseRealTime();

void BM_RawPtyExchange(benchmark::State &state)
{
    SimulatorThread simulator;
    buildDefaultAnalyser(simulator.link());
    if (!simulator.start(SimulatorThread::Pty)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    const int fd = ::open(simulator.ptyName().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    termios attributes;
    ::tcgetattr(fd, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(fd, TCSANOW, &attributes);
    for (auto _ : state) {
        if (!exchange(fd, readRequest, 9)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}
BENCHMARK(BM_RawPtyExchange)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);  // the simulator thread's event loop needs it
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
