#ifndef LINKBENCH_H
#define LINKBENCH_H

// What the link's benchmarks share: the simulated analyser they run against, the raw
// POSIX request/reply loop the library's exchanges are measured against (blocking write
// and read of the same frames to the same simulator), and the turns in which the two are
// timed side by side.
#include <defaultanalyser.h>
#include <devicedriver.h>
#include <modbusclient.h>
#include <serialportdriver.h>
#include <simulatorthread.h>

#include <benchmark/benchmark.h>

#include <QtCore/QByteArray>
#include <QtCore/QCoreApplication>
#include <QtCore/QString>
#include <QtCore/QUrl>
#include <QtCore/QVector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

// The analyser the benchmarks of a program run against, while they run.
inline SimulatorThread *analyser = nullptr;

// The main of a benchmark program: the default analyser, its request log off, changed by
// prepare and served on the endpoints given; the benchmarks; then the program's summary.
inline int runBenchmarks(int argc, char **argv, int endpoints,
                         const std::function<void(SimulatedLink &)> &prepare = nullptr,
                         const std::function<void()> &summary = nullptr)
{
    QCoreApplication app(argc, argv); // the simulator thread's event loop needs it
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SimulatorThread sim;
    buildDefaultAnalyser(sim.link());
    sim.link().setRequestLogLimit(0);
    if (prepare)
        prepare(sim.link());
    if (!sim.start(endpoints)) {
        std::fprintf(stderr, "%s: simulator did not start: %s\n", argv[0], qPrintable(sim.errorString()));
        return 1;
    }
    analyser = &sim;
    benchmark::RunSpecifiedBenchmarks();
    if (summary)
        summary();
    analyser = nullptr;
    return 0;
}

// A driver opened on the analyser's line (its TCP port, or its pseudo-terminal at
// 115200 Bd) and a client on it; a benchmark that cannot open it is skipped.
struct BenchLink
{
    explicit BenchLink(benchmark::State &state, bool tcp = true)
    {
        if (tcp) {
            driver.reset(DeviceDriver::create(QUrl(analyser->url()), nullptr));
            driver->setPortName(analyser->url());
        } else {
            driver.reset(new SerialPortDriver);
            driver->setPortName(analyser->serialPortName(115200));
        }
        if (driver->open()) {
            client.setDriver(driver.get());
        } else {
            state.SkipWithError("cannot open the driver");
            driver.reset();
        }
    }
    bool isOpen() const { return driver != nullptr; }

    std::unique_ptr<DeviceDriver> driver;
    ModbusClient client; // goes before the driver
};

// A plain blocking TCP connection to a loopback port; -1 when it cannot be made.
inline int openLoopbackTcp(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A pseudo-terminal opened raw and blocking; -1 when it cannot be opened.
inline int openRawTerminal(const QString &name)
{
    const int fd = ::open(name.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios attributes;
    ::tcgetattr(fd, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(fd, TCSANOW, &attributes);
    return fd;
}

// A raw connection to the analyser: its TCP port, or its pseudo-terminal.
inline int openRawLink(bool tcp)
{
    return tcp ? openLoopbackTcp(analyser->tcpPort()) : openRawTerminal(analyser->ptyName());
}

// One exchange: the whole frame written, then exactly replySize bytes read.
inline bool rawExchange(int fd, const QByteArray &frame, int replySize)
{
    if (::write(fd, frame.constData(), size_t(frame.size())) != frame.size())
        return false;
    char reply[512];
    int got = 0;
    while (got < replySize) {
        const ssize_t n = ::read(fd, reply + got, sizeof reply - size_t(got));
        if (n <= 0)
            return false;
        got += int(n);
    }
    return got == replySize;
}

// A raw loop and a library path timed in turns: a block of each, the order swapped every
// turn, so that both meet the same load on a shared machine. The summary takes the median
// of the turns' ratios, library rate over raw rate.
class Turns
{
public:
    // One turn of the two blocks; false when either failed.
    template <typename Raw, typename Library>
    bool take(Raw raw, Library library)
    {
        double seconds[2] = { 0, 0 }; // raw, library
        for (int side = 0; side < 2; ++side) {
            const bool rawSide = (side == 0) == m_rawFirst;
            const auto start = std::chrono::steady_clock::now();
            if (!(rawSide ? raw() : library()))
                return false;
            seconds[rawSide ? 0 : 1] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        m_rawFirst = !m_rawFirst;
        m_ratios.append(seconds[0] / seconds[1]);
        m_rawSeconds += seconds[0];
        m_librarySeconds += seconds[1];
        return true;
    }

    int count() const { return m_ratios.size(); }
    // Seconds per block, averaged over the turns.
    double rawBlockSeconds() const { return count() ? m_rawSeconds / count() : 0; }
    double libraryBlockSeconds() const { return count() ? m_librarySeconds / count() : 0; }
    double medianRatio() const
    {
        QVector<double> sorted = m_ratios;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? 0 : sorted.at(sorted.size() / 2);
    }

private:
    QVector<double> m_ratios;
    double m_rawSeconds = 0;
    double m_librarySeconds = 0;
    bool m_rawFirst = true;
};

#endif // LINKBENCH_H
