// qvsim: the simulated analyser as a program, for people and for jobs that need an
// instrument without hardware.

#include "defaultanalyser.h"
#include "simulatedlink.h"
#include "simulatorserver.h"

#include <pcapwriter.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated analyser: module 1, a gateway with modules 5 (a gateway with 3 behind it)"
        " and 6 behind it, and module 2. Serves loopback TCP and, on request, a"
        " pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")},
                                        QStringLiteral("TCP port on 127.0.0.1 (0: a free one)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption ptyOption(QStringLiteral("pty"),
                                       QStringLiteral("Also serve a pseudo-terminal."));
    const QCommandLineOption noTcpOption(QStringLiteral("no-tcp"),
                                         QStringLiteral("Do not serve TCP."));
    const QCommandLineOption pcapOption(QStringLiteral("pcap"),
                                        QStringLiteral("Record every request and reply to a capture file."),
                                        QStringLiteral("file"));
    const QCommandLineOption delayOption(QStringLiteral("delay-replies"),
                                         QStringLiteral("Send every reply this many ms late; later requests are"
                                                        " answered meanwhile."),
                                         QStringLiteral("ms"));
    const QCommandLineOption hangUpOption(QStringLiteral("hang-up"),
                                          QStringLiteral("Close the line after this many bytes of each reply."),
                                          QStringLiteral("bytes"));
    const QCommandLineOption misrouteOption(QStringLiteral("misroute"),
                                            QStringLiteral("Routed replies name another module behind the gateway."));
    parser.addOption(portOption);
    parser.addOption(ptyOption);
    parser.addOption(noTcpOption);
    parser.addOption(pcapOption);
    parser.addOption(delayOption);
    parser.addOption(hangUpOption);
    parser.addOption(misrouteOption);
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "qvsim: bad port '%s'\n", qPrintable(parser.value(portOption)));
        return 2;
    }
    if (parser.isSet(noTcpOption) && !parser.isSet(ptyOption)) {
        std::fprintf(stderr, "qvsim: nothing to serve (--no-tcp without --pty)\n");
        return 2;
    }

    SimulatedFault standing;
    for (const auto &[option, field] : { std::make_pair(&delayOption, &standing.delayMs),
                                         std::make_pair(&hangUpOption, &standing.hangUpAfter) }) {
        if (!parser.isSet(*option))
            continue;
        *field = parser.value(*option).toInt(&ok);
        if (!ok || *field < 0) {
            std::fprintf(stderr, "qvsim: bad value for --%s: '%s'\n", qPrintable(option->names().first()),
                         qPrintable(parser.value(*option)));
            return 2;
        }
    }
    standing.misroute = parser.isSet(misrouteOption);

    SimulatedLink link;
    buildDefaultAnalyser(link);
    link.faults().setStandingFault(standing);
    SimulatorServer server(&link);
    PcapWriter capture;
    if (parser.isSet(pcapOption)) {
        if (!capture.open(parser.value(pcapOption))) {
            std::fprintf(stderr, "qvsim: cannot write %s: %s\n", qPrintable(parser.value(pcapOption)),
                         qPrintable(capture.errorString()));
            return 1;
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
    if (!parser.isSet(noTcpOption)) {
        if (!server.listen(quint16(port))) {
            std::fprintf(stderr, "qvsim: cannot listen on 127.0.0.1:%u: %s\n", port,
                         qPrintable(server.errorString()));
            return 1;
        }
        std::printf("listening on %s\n", qPrintable(server.url()));
    }
    if (parser.isSet(ptyOption)) {
        if (!server.openPty()) {
            std::fprintf(stderr, "qvsim: cannot open a pseudo-terminal: %s\n",
                         qPrintable(server.errorString()));
            return 1;
        }
        std::printf("serial port %s\n", qPrintable(server.ptyName()));
    }
    std::fflush(stdout);

    // Ctrl-C and SIGTERM end the event loop, so that everything closes in order.
    if (::pipe(signalPipe) != 0) {
        std::perror("qvsim: pipe");
        return 1;
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
