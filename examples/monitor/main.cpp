// Watches registers of the instrument's modules in a window that never freezes.
#include <QtWidgets/QApplication>

#include <commandline.h>
#include <defaultanalyser.h>
#include <qvglobal.h>
#include <simulatorthread.h>
#include <toolmessages.h>

#include <cstdio>
#include <memory>

#include "monitorwindow.h"

namespace {

enum ExitCode { Ok = 0, UsageError = 1, CannotStart = 2 };

CommandLine monitorCommandLine()
{
    CommandLine line(QStringLiteral("qvmonitor"), QStringLiteral("[options]"));
    line.setDescription(QStringLiteral(
        "Opens the link, scans addresses 1-32 (and behind the gateways found) for modules, and polls\n"
        "holding registers of the modules ticked; a value edited in the tree is written to the module.\n"
        "Without --url it starts the simulated analyser on loopback and watches that."));
    line.addOptions({{"url", "URL", "socks://HOST:PORT or a serial port such as /dev/ttyUSB0?baudrate=9600"},
                     {"interval", "MS", "poll every MS milliseconds (100)"},
                     {"registers", "START:COUNT", "the holding registers polled (0x10:4)"}});
    line.setExitCodes({{CannotStart, "the embedded simulated analyser did not start"}});
    return line;
}

// "START:COUNT", each decimal or hexadecimal after 0x, within one run of the address space.
bool parseRegisters(const QString &text, quint16 *start, quint16 *count)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    qint64 first = 0, n = 0;
    if (parts.size() != 2 || !parseNumber(parts.at(0), 0, 0xFFFF, &first) || !parseNumber(parts.at(1), 1, 125, &n)
        || first + n > 0x10000)
        return false;
    *start = quint16(first);
    *count = quint16(n);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine line = monitorCommandLine();
    const int finished = line.finish(line.parse(arguments));
    if (finished >= 0)
        return finished;
    qint64 interval = 100;
    if (line.isSet("interval") && !parseNumber(line.value("interval"), 10, 60000, &interval)) {
        std::fprintf(stderr, "qvmonitor: --interval is a number of milliseconds from 10 to 60000\n");
        return UsageError;
    }
    quint16 start = 0x10, count = 4;
    if (line.isSet("registers") && !parseRegisters(line.value("registers"), &start, &count)) {
        std::fprintf(stderr, "qvmonitor: --registers START:COUNT, 1 to 125 registers from START\n");
        return UsageError;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qvmonitor"));
    installToolMessageHandler();
    installTranslators(QStringLiteral("en"));

    // Declared before the window, so that it outlives the window's link.
    std::unique_ptr<SimulatorThread> simulator;
    QString url = line.value("url");
    if (url.isEmpty()) {
        simulator.reset(new SimulatorThread);
        buildDefaultAnalyser(simulator->link());
        if (!simulator->start(SimulatorThread::Tcp)) {
            std::fprintf(stderr, "qvmonitor: cannot start the embedded simulated analyser: %s\n",
                         qPrintable(simulator->errorString()));
            return CannotStart;
        }
        url = simulator->url();
    }

    MonitorWindow window;
    window.setPollInterval(int(interval));
    window.setRegisters(start, count);
    // The first time the link opens, look for modules.
    QObject::connect(&window, &MonitorWindow::linkStateChanged, &window, [&window] {
        static bool scanned = false;
        if (!scanned && window.isLinkOpen()) {
            scanned = true;
            window.scan(1, 32);
        }
    });
    window.connectLink(url);
    window.show();
    return app.exec();
}
