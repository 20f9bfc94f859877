#include "console.h"
#include "consoleformat.h"

#include <commandline.h>
#include <devicedriver.h>
#include <modbusclient.h>

#include <defaultanalyser.h>
#include <simulatorthread.h>

#include <toolmessages.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <QUrl>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <unistd.h>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

namespace {

volatile std::sig_atomic_t interruptFlag = 0;

void onInterrupt(int)
{
    interruptFlag = 1;
}

// The first Ctrl-C asks the command to stop and report; a second one ends the
// program at once.
void catchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

bool interruptRequested()
{
    return interruptFlag != 0;
}

bool sleepUnlessInterrupted(int ms)
{
    for (int slept = 0; slept < ms && !interruptFlag; slept += 10)
        QThread::msleep(qMin(10, ms - slept));
    return !interruptFlag;
}

Console::Console(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_clock.start();
}

Console::~Console() = default;

const QVector<Console::Command> &Console::commands()
{
    enum { Stops = false, Reports = true };  // what Ctrl-C does to the command
    // Options of the register reads and writes.
    const QStringList values = {"type", "word-order"};
    static const QVector<Command> table = {
        {{"ports", "", "serial ports of this machine"}, &Console::ports, Stops},
        {{"read-coils", "ADDR [N]", "coils (function 1)"}, &Console::readRun, Stops, {}, Bits,
         &AbstractDeviceModule::readBit},
        {{"read-inputs", "ADDR [N]", "discrete inputs (function 2)"}, &Console::readRun, Stops, {}, Bits,
         &AbstractDeviceModule::readRoBit},
        {{"read-holding", "ADDR [N]", "N holding register values of --type (function 3)"}, &Console::readRun, Stops,
         values, Registers, &AbstractDeviceModule::readWord},
        {{"read-input-registers", "ADDR [N]", "N input register values of --type (function 4)"}, &Console::readRun,
         Stops, values, Registers, &AbstractDeviceModule::readRoWord},
        {{"write-coils", "ADDR V...", "coils, each 0 or 1 (function 5 for one, 15 for more)"}, &Console::writeRun,
         Stops, {"multiple"}, Bits},
        {{"write-holding", "ADDR V...", "holding registers, values of --type (function 6 for one word, 16 for more)"},
         &Console::writeRun, Stops, values + QStringList{"multiple"}, Registers},
        {{"read-file", "FILE RECORD N", "N file records, shown or written to --out"}, &Console::readFile, Reports,
         {"out"}},
        {{"write-file", "FILE RECORD", "file records from --in (whole 16-bit records)"}, &Console::writeFile, Reports,
         {"in"}},
        {{"read-trunk", "FILE", "the checksummed block from record 0 of a file, checked"}, &Console::readTrunk, Stops},
        {{"identify", "", "the identification objects"}, &Console::identify, Stops},
        {{"events", "", "status word and event counter"}, &Console::events, Stops},
        {{"wait", "", "poll the event counter until the module is no longer busy\n"
                      "(--period between polls, --polls before giving up)"}, &Console::waitIdle, Reports,
         {"period", "polls"}},
        {{"restart", "", "restart the module (--clear-log: its event log too)"}, &Console::restart, Stops,
         {"clear-log"}},
        {{"bootloader", "", "restart the module into its boot loader"}, &Console::enterBootloader, Stops},
        {{"raw", "HEX...", "pass bytes through (encapsulated) and show the answer"}, &Console::raw, Stops},
        {{"scan", "[FROM [TO]]", "look for modules at addresses FROM-TO (default 1-16, at most 1-247);\n"
                                 "with --path 1/ behind gateway 1"}, &Console::scan, Reports, {}, NoItems, nullptr,
         true},
        {{"poll", "READ-COMMAND ARGS", "repeat a read (--count, --period), a timestamp per poll; Ctrl-C or\n"
                                       "--count ends it with a summary. The link is reopened when it drops"},
         &Console::poll, Reports, values + QStringList{"count", "period", "csv"}},
        {{"walkthrough", "", "a short tour against the embedded simulated analyser"}, &Console::walkthrough, Stops},
    };
    return table;
}

const Console::Command *Console::findCommand(const QString &name)
{
    const auto found = std::find_if(commands().cbegin(), commands().cend(),
                                    [&](const Command &c) { return c.text.name == name; });
    return found == commands().cend() ? nullptr : &*found;
}

QVector<ToolCommand> Console::commandList()
{
    QVector<ToolCommand> list;
    for (const Command &c : commands())
        list.append(c.text);
    return list;
}

QVector<ToolOptionScope> Console::optionScopes()
{
    QVector<ToolOptionScope> scopes;
    for (const Command &c : commands()) {
        for (const QString &option : c.options) {
            auto scope = std::find_if(scopes.begin(), scopes.end(),
                                      [&](const ToolOptionScope &s) { return s.options.first() == option; });
            if (scope == scopes.end())
                scopes.append({{option}, {c.text.name}});
            else
                scope->commands.append(c.text.name);
        }
    }
    return scopes;
}

QStringList Console::commandsBehindGateway()
{
    QStringList names;
    for (const Command &c : commands()) {
        if (c.behindGateway)
            names.append(c.text.name);
    }
    return names;
}

bool Console::connectLink()
{
    if (m_client)
        return true;
    const LinkAddress &link = m_options.link;
    for (const QString &warning : link.warnings)
        err() << "qvlink: " << warning << "\n";
    if (link.kind == LinkAddress::Embedded) {
        m_simulator.reset(new SimulatorThread);
        buildDefaultAnalyser(m_simulator->link());
        if (!m_simulator->start(SimulatorThread::Tcp)) {
            conclude(Outcome::CannotConnect,
                 QStringLiteral("cannot start the embedded simulated analyser: %1").arg(m_simulator->errorString()));
            return false;
        }
        m_url = m_simulator->url();
        err() << "qvlink: no --url given; using the embedded simulated analyser at " << m_url << "\n";
        err().flush();
    } else {
        m_url = link.url;
    }
    m_driver = DeviceDriver::create(QUrl(m_url), this);
    if (m_options.timeout > 0)
        m_driver->setReadTimeouts(m_options.timeout);
    if (m_options.interval > 0)
        m_driver->setReadIntervalTimeouts(m_options.interval);
    m_driver->setUrl(QUrl(m_url));
    m_driver->setPortName(m_url);
    if (link.kind == LinkAddress::Serial)
        applySerialSettings(link, m_driver);
    if (!m_driver->open()) {
        conclude(Outcome::CannotConnect, QStringLiteral("cannot open %1: %2").arg(m_url, m_driver->errorString()));
        return false;
    }
    m_client = new ModbusClient(this);
    m_client->setDriver(m_driver);
    if (m_options.retries >= 0)
        m_client->setAttempts(m_options.retries + 1);
    connect(m_client, &ModbusClient::messageWritten, this, [this](const QByteArray &frame) {
        ++m_framesWritten;
        capture(PcapWriter::Request, frame);
        if (m_options.trace) {
            err() << QString::asprintf("%10.3f ", m_clock.nsecsElapsed() / 1e6) << "-> " << hex(frame) << "\n";
            err().flush();
        }
    });
    connect(m_client, &ModbusClient::messageRead, this, [this](int status, const QByteArray &frame) {
        if (status == 0)
            ++m_framesAnswered;
        // Whatever arrived, a bad or partial reply too; a time-out without a byte is no packet.
        const PcapWriter::Mark mark = status == 0 ? PcapWriter::Taken : markOfFailure(status);
        if (!frame.isEmpty())
            capture(PcapWriter::Reply, frame, mark);
        if (m_options.trace)
            traceRead(frame, status == 0 ? QString() : statusKind(ModuleStatus(status)),
                      frame.isEmpty() ? PcapWriter::Taken : mark);
    });
    // Bytes read and not taken by any attempt: late replies, unasked frames, noise.
    connect(m_client, &ModbusClient::frameDiscarded, this,
            [this](const QByteArray &bytes, ModbusClient::DiscardReason reason) {
        const PcapWriter::Mark mark = markOf(reason);
        capture(PcapWriter::Reply, bytes, mark);
        if (m_options.trace)
            traceRead(bytes, QString(), mark);
    });
    return true;
}

PcapWriter::Mark Console::markOf(ModbusClient::DiscardReason reason)
{
    switch (reason) {
    case ModbusClient::LateReply:
        return PcapWriter::LateReply;
    case ModbusClient::UnaskedFrame:
        return PcapWriter::UnaskedFrame;
    case ModbusClient::LineNoise:
        return PcapWriter::LineNoise;
    case ModbusClient::CutShort:
        return PcapWriter::CutShort;
    }
    return PcapWriter::LineNoise;
}

// The bytes of a failed attempt: fewer than a frame, or a line that failed while they
// came, are a reply cut short; the rest did not answer the request.
PcapWriter::Mark Console::markOfFailure(int status)
{
    switch (status) {
    case ModuleStatus::TimeoutError:
    case ModuleStatus::NotOpenError:
        return PcapWriter::CutShort;
    default:
        return PcapWriter::NotAnAnswer;
    }
}

void Console::traceRead(const QByteArray &bytes, const QString &status, PcapWriter::Mark mark)
{
    err() << QString::asprintf("%10.3f ", m_clock.nsecsElapsed() / 1e6) << "<- " << hex(bytes);
    const PcapWriter::MarkRow *row = PcapWriter::markRow(mark);
    if (!status.isEmpty() || row) {
        err() << "  (" << status << (status.isEmpty() || !row ? "" : "; ");
        if (row)
            err() << "not taken: " << row->name;
        err() << ")";
    }
    err() << "\n";
    err().flush();
}

void Console::capture(PcapWriter::Direction direction, const QByteArray &frame, PcapWriter::Mark mark)
{
    if (!m_capture.isOpen() || m_capture.writeFrame(direction, frame, mark))
        return;
    m_captureError =
        QStringLiteral("capture stopped: cannot write %1: %2").arg(m_capture.targetName(), m_capture.errorString());
    err() << "qvlink: " << m_captureError << "\n";
    err().flush();
}

// --- outcomes -------------------------------------------------------------

void Console::emitJson(QJsonObject result)
{
    if (!result.contains("command"))
        result.insert("command", m_command);
    result.insert("path", m_options.path);
    out() << QJsonDocument(result).toJson(QJsonDocument::Compact) << "\n";
    out().flush();
}

int Console::succeed(QJsonObject result)
{
    // A capture asked for but cut short fails the run, even when the command went through:
    // the object says so as the exit code does. The reason is on stderr already.
    if (!m_captureError.isEmpty()) {
        if (m_options.json) {
            result.insert("status", outcomeKind(Outcome::FileError));
            result.insert("error", m_captureError);
            emitJson(result);
        }
        return ExitFileError;
    }
    if (m_options.json) {
        result.insert("status", outcomeKind(Outcome::Ok));
        emitJson(result);
    }
    return ExitOk;
}

QString Console::describe(const ModuleStatus &status) const
{
    const QString text = statusText(status);
    if (outcomeOf(status) != Outcome::NotOpen || !m_driver || m_driver->errorString().isEmpty())
        return text;
    return text + QStringLiteral(": ") + m_driver->errorString();
}

int Console::fail(const ModuleStatus &status, QJsonObject result, const QString &done)
{
    const QString text = describe(status);
    if (m_options.json) {
        result.insert("status", statusKind(status));
        result.insert("error", text);
        result.insert("code", QString::number(quint32(status.data()), 16));
        emitJson(result);
    }
    err() << "qvlink: " << text << "\n";
    if (!done.isEmpty())
        err() << "qvlink: " << done << "\n";
    return exitCodeFor(status);
}

int Console::conclude(Outcome outcome, const QString &message, QJsonObject result)
{
    if (m_options.json) {
        result.insert("status", outcomeKind(outcome));
        result.insert("error", message);
        emitJson(result);
    } else if (outcome == Outcome::Interrupted) {
        out() << message << "\n";
    }
    if (outcome != Outcome::Interrupted) {
        err() << "qvlink: " << message << "\n";
        err().flush();
    }
    return exitCode(outcome);
}

int Console::usageError(const QString &message, bool json, const QString &command)
{
    if (json) {
        const QJsonObject o{{"command", command}, {"status", outcomeKind(Outcome::Usage)}, {"error", message}};
        toolOut() << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
        toolOut().flush();
    }
    return consoleCommandLine().usageError(message);
}

int Console::usage(const QString &message)
{
    return usageError(message, m_options.json, m_command);
}

void Console::progress(const QString &what, qint64 done, qint64 total)
{
    if (!isatty(STDERR_FILENO) || total <= 0)
        return;
    const int width = 30, filled = int(width * done / total);
    err() << "\r" << what << " [" << QString(filled, '#') << QString(width - filled, '.') << "] " << done << "/"
          << total << (done >= total ? "\n" : "");
    err().flush();
}

// --- running --------------------------------------------------------------

int Console::run()
{
    if (!m_options.pcap.isEmpty() && !m_capture.open(m_options.pcap)) {
        m_command = m_options.command;
        return conclude(Outcome::FileError,
                        QStringLiteral("cannot write %1: %2").arg(m_capture.targetName(), m_capture.errorString()));
    }
    int rc = runCommand(m_options.command, m_options.args);
    // A capture asked for but cut short is a failure of this run, also for a command
    // that tells its success without succeed().
    if (rc == ExitOk && !m_captureError.isEmpty())
        rc = ExitFileError;
    out().flush();
    err().flush();
    return rc;
}

int Console::runCommand(const QString &command, const QStringList &args)
{
    m_command = command;
    const Command *found = findCommand(command);
    // The command line was checked against the same table.
    if (!found)
        return usage(QStringLiteral("unknown command %1").arg(command));
    if (found->reportsInterrupt)
        catchInterrupts();
    const int rc = (this->*found->run)(*found, args);
    out().flush();
    err().flush();
    return rc;
}

int Console::walkthrough(const Command &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("walkthrough takes no arguments");
    return runWalkthrough(*this);
}

int Console::ports(const Command &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("ports takes no arguments");
    DeviceDriver *serial = DeviceDriver::create(QUrl(), this);
    const QStringList names = serial->avaliablePorts();
    if (m_options.json)
        return succeed(QJsonObject{{"ports", QJsonArray::fromStringList(names)}});
    if (names.isEmpty())
        out() << "no serial ports\n";
    for (const QString &n : names)
        out() << n << "\n";
    return ExitOk;
}
