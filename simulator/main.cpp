// qvsim: the simulated analyser as a program, for people and for jobs that need an
// instrument without hardware.

#include "defaultanalyser.h"
#include "faultoptions.h"
#include "simulatedlink.h"
#include "simulatorserver.h"

#include <commandline.h>
#include <pcapwriter.h>
#include <toolmessages.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

enum ExitCode { Ok = 0, UsageError = 1, CannotServe = 2 };

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

CommandLine simulatorCommandLine()
{
    CommandLine line(QStringLiteral("qvsim"), QStringLiteral("[options]"));
    line.setDescription(QStringLiteral(
        "The simulated analyser: module 1, a gateway with modules 5 (a gateway with 3 behind it)\n"
        "and 6 behind it, and module 2. Serves loopback TCP and, on request, a pseudo-terminal.\n"
        "Ctrl-C or SIGTERM ends it."));
    line.addOptions({
        {"port", "N", "TCP port on 127.0.0.1 (default 0: a free one)", QLatin1Char('p')},
        {"pty", "", "also serve a pseudo-terminal"},
        {"no-tcp", "", "do not serve TCP"},
        {"verbose", "", "log every request and its reply on stderr"},
        {"pcap", "FILE", "record every request and reply to a capture file for Wireshark; - for stdout\n"
                         "(a live capture: | tshark -i -), which moves what qvsim says there to stderr"},
        {"chaos", "SEED[,RATE[,MS]]", "a fault drawn at random for a share RATE of the replies (0.2), every class the\n"
                                      "simulator knows, reproducible from SEED; delays scale with the client's time-out MS (100)"},
        {"", "", "Faults (N replies, or all; given together they follow one another in their order):"},
    });
    line.addOptions(faultOptions());
    line.setExitCodes({{Ok, "ended by Ctrl-C or SIGTERM"},
                       {UsageError, "usage: a bad command line"},
                       {CannotServe, "cannot listen on the port, open a pseudo-terminal or write the capture file"}});
    return line;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// --verbose: one line per request and one per reply, as they are decided.
void logExchange(const QByteArray &request, const SimulatedReply &reply)
{
    const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    std::fprintf(stderr, "%s -> %s\n", qPrintable(time), qPrintable(hex(request)));
    if (!reply.parts.isEmpty()) {
        for (const SimulatedReply::Part &part : reply.parts)
            std::fprintf(stderr, "%s <- %s (after %d ms%s)\n", qPrintable(time), qPrintable(hex(part.bytes)), part.atMs,
                         part.dripMs > 0 ? qPrintable(QStringLiteral(", a byte every %1 ms").arg(part.dripMs)) : "");
    } else if (reply.bytes.isEmpty()) {
        std::fprintf(stderr, "%s    (no reply%s)\n", qPrintable(time), reply.hangUp ? ", hangs up" : "");
    } else {
        QString timing;
        if (reply.delayMs > 0)
            timing += QStringLiteral(" (after %1 ms)").arg(reply.delayMs);
        if (reply.pieces > 1)
            timing += QStringLiteral(" (in %1 pieces, %2 ms apart)").arg(reply.pieces).arg(reply.pieceDelayMs);
        if (reply.hangUp)
            timing += QStringLiteral(" (then hangs up)");
        std::fprintf(stderr, "%s <- %s%s\n", qPrintable(time), qPrintable(hex(reply.bytes)), qPrintable(timing));
    }
    std::fflush(stderr);
}

} // namespace

int main(int argc, char *argv[])
{
    PcapWriter::guardStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvsim"));
    installToolMessageHandler();

    CommandLine line = simulatorCommandLine();
    const int finished = line.finish(line.parse(app.arguments().mid(1)));
    if (finished >= 0)
        return finished;
    if (!line.arguments().isEmpty()) {
        std::fprintf(stderr, "qvsim: unexpected argument '%s'\nrun qvsim --help for the options\n",
                     qPrintable(line.arguments().first()));
        return UsageError;
    }
    qint64 port = 0;
    if (line.isSet("port") && !parseNumber(line.value("port"), 0, 65535, &port)) {
        std::fprintf(stderr, "qvsim: --port takes a number from 0 to 65535, not '%s'\n",
                     qPrintable(line.value("port")));
        return UsageError;
    }
    if (line.isSet("no-tcp") && !line.isSet("pty")) {
        std::fprintf(stderr, "qvsim: nothing to serve (--no-tcp without --pty)\n");
        return UsageError;
    }

    SimulatedLink link;
    buildDefaultAnalyser(link);
    for (const auto &given : line.given()) {
        QString error;
        if (!addFault(link.faults(), given.first, given.second, &error)) {
            std::fprintf(stderr, "qvsim: %s\n", qPrintable(error));
            return UsageError;
        }
    }
    if (line.isSet("chaos")) {
        const QStringList parts = line.value("chaos").split(QLatin1Char(','));
        qint64 seed = 0;
        qint64 timeout = 100;
        bool rateOk = true;
        const double rate = parts.size() > 1 ? parts.at(1).toDouble(&rateOk) : 0.2;
        if (parts.size() > 3 || !parseNumber(parts.at(0), 0, 0xFFFFFFFFLL, &seed) || !rateOk || rate <= 0 || rate > 1
            || (parts.size() > 2 && !parseNumber(parts.at(2), 1, 60000, &timeout))) {
            std::fprintf(stderr, "qvsim: --chaos takes SEED (0-4294967295), then a RATE above 0 up to 1 and a "
                                 "time-out MS (1-60000), not '%s'\n", qPrintable(line.value("chaos")));
            return UsageError;
        }
        link.setChaos(quint32(seed), rate, int(timeout));
    }
    if (line.isSet("verbose"))
        link.setObserver(logExchange);

    SimulatorServer server(&link);
    PcapWriter capture;
    // What qvsim says goes to stdout, unless the capture does.
    FILE *says = line.value("pcap") == QLatin1String("-") ? stderr : stdout;
    if (line.isSet("pcap")) {
        if (line.value("pcap").isEmpty()) {
            std::fprintf(stderr, "qvsim: --pcap needs a file name (- for stdout)\n");
            return UsageError;
        }
        if (!capture.open(line.value("pcap"))) {
            std::fprintf(stderr, "qvsim: cannot write %s: %s\n", qPrintable(capture.targetName()),
                         qPrintable(capture.errorString()));
            return CannotServe;
        }
        auto record = [&capture](PcapWriter::Direction direction, const QByteArray &frame) {
            if (capture.isOpen() && !capture.writeFrame(direction, frame))
                std::fprintf(stderr, "qvsim: capture stopped: %s\n", qPrintable(capture.errorString()));
        };
        QObject::connect(&server, &SimulatorServer::requestReceived,
                         [record](const QByteArray &frame) { record(PcapWriter::Request, frame); });
        QObject::connect(&server, &SimulatorServer::replySent,
                         [record](const QByteArray &reply) { record(PcapWriter::Reply, reply); });
    }
    if (!line.isSet("no-tcp")) {
        if (!server.listen(quint16(port))) {
            std::fprintf(stderr, "qvsim: cannot listen on 127.0.0.1:%lld: %s\n", port,
                         qPrintable(server.errorString()));
            return CannotServe;
        }
        std::fprintf(says, "listening on %s\n", qPrintable(server.url()));
    }
    if (line.isSet("pty")) {
        if (!server.openPty()) {
            std::fprintf(stderr, "qvsim: cannot open a pseudo-terminal: %s\n", qPrintable(server.errorString()));
            return CannotServe;
        }
        std::fprintf(says, "serial port %s\n", qPrintable(server.ptyName()));
    }
    std::fflush(says);

    // Ctrl-C and SIGTERM end the event loop, so that everything closes in order.
    if (::pipe(signalPipe) != 0) {
        std::perror("qvsim: pipe");
        return CannotServe;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    const int status = app.exec();
    server.close();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    return status;
}
