#include "console.h"
#include "registervalues.h"
#include "statustext.h"

#include <commandline.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>

#include <defaultanalyser.h>
#include <simulatorthread.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <QUrl>

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

QTextStream &out()
{
    return consoleOut();
}

QTextStream &err()
{
    return consoleErr();
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

QString compactHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// The number of hops of a path: its elements after the first.
int hopsOf(const QString &path)
{
    return qMax(0, path.split('/', Qt::SkipEmptyParts).size() - 1);
}

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

} // namespace

QTextStream &consoleOut()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &consoleErr()
{
    static QTextStream s(stderr);
    return s;
}

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
    static const QVector<Command> table = {
        {"ports", "", "serial ports of this machine", &Console::ports},
        {"read-coils", "ADDR [N]", "coils (function 1)", &Console::readRun},
        {"read-inputs", "ADDR [N]", "discrete inputs (function 2)", &Console::readRun},
        {"read-holding", "ADDR [N]", "N holding register values of --type (function 3)", &Console::readRun},
        {"read-input-registers", "ADDR [N]", "N input register values of --type (function 4)", &Console::readRun},
        {"write-coils", "ADDR V...", "coils, each 0 or 1 (function 5 for one, 15 for more)", &Console::writeRun},
        {"write-holding", "ADDR V...",
         "holding registers, values of --type (function 6 for one word, 16 for more)", &Console::writeRun},
        {"read-file", "FILE RECORD N", "N file records, shown or written to --out", &Console::readFile},
        {"write-file", "FILE RECORD", "file records from --in (whole 16-bit records)", &Console::writeFile},
        {"read-trunk", "FILE", "the checksummed block from record 0 of a file, checked", &Console::readTrunk},
        {"identify", "", "the identification objects", &Console::identify},
        {"events", "", "status word and event counter", &Console::events},
        {"wait", "", "poll the event counter until the module is no longer busy\n"
                     "(--period between polls, --polls before giving up)", &Console::waitIdle},
        {"restart", "", "restart the module (--clear-log: its event log too)", &Console::restart},
        {"bootloader", "", "restart the module into its boot loader", &Console::restart},
        {"raw", "HEX...", "pass bytes through (encapsulated) and show the answer", &Console::raw},
        {"scan", "[FROM [TO]]", "look for modules at addresses FROM-TO (default 1-16, at most 1-247);\n"
                                "with --path 1/ behind gateway 1", &Console::scan},
        {"poll", "READ-COMMAND ARGS", "repeat a read (--count, --period), a timestamp per poll; Ctrl-C or\n"
                                      "--count ends it with a summary. The link is reopened when it drops",
         &Console::poll},
        {"walkthrough", "", "a short tour against the embedded simulated analyser", &Console::walkthrough},
    };
    return table;
}

QString Console::commandsHelp()
{
    QString text;
    const int width = 32;
    for (const Command &c : commands()) {
        QString head = QStringLiteral("  ") + QLatin1String(c.name);
        if (*c.arguments)
            head += QLatin1Char(' ') + QLatin1String(c.arguments);
        text += head.leftJustified(width - 1) + QLatin1Char(' ')
              + QString::fromLatin1(c.help).replace(QLatin1Char('\n'), QLatin1Char('\n') + QString(width, ' '))
              + QLatin1Char('\n');
    }
    return text;
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
            cannotConnect(QStringLiteral("cannot start the embedded simulated analyser: %1")
                              .arg(m_simulator->errorString()));
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
        cannotConnect(QStringLiteral("cannot open %1: %2").arg(m_url, m_driver->errorString()));
        return false;
    }
    m_client = new ModbusClient(this);
    m_client->setDriver(m_driver);
    if (m_options.retries >= 0)
        m_client->setAttempts(m_options.retries + 1);
    connect(m_client, &ModbusClient::messageWritten, this, [this](const QByteArray &frame) {
        ++m_framesWritten;
        if (m_options.trace) {
            err() << QString::asprintf("%10.3f ", m_clock.nsecsElapsed() / 1e6) << "-> " << hex(frame) << "\n";
            err().flush();
        }
    });
    connect(m_client, &ModbusClient::messageRead, this, [this](int status, const QByteArray &frame) {
        if (status == 0)
            ++m_framesAnswered;
        if (m_options.trace) {
            err() << QString::asprintf("%10.3f ", m_clock.nsecsElapsed() / 1e6) << "<- " << hex(frame);
            if (status != 0)
                err() << "  (" << statusKind(ModuleStatus(status)) << ")";
            err() << "\n";
            err().flush();
        }
    });
    return true;
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
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    }
    return ExitOk;
}

int Console::fail(const ModuleStatus &status, QJsonObject result, const QString &done)
{
    if (m_options.json) {
        result.insert("status", statusKind(status));
        result.insert("error", statusText(status));
        result.insert("code", QString::number(quint32(status.data()), 16));
        emitJson(result);
    }
    err() << "qvlink: " << statusText(status) << "\n";
    if (!done.isEmpty())
        err() << "qvlink: " << done << "\n";
    return exitCodeFor(status);
}

int Console::usageError(const QString &message, bool json, const QString &command)
{
    if (json) {
        const QJsonObject o{{"command", command}, {"status", "usage"}, {"error", message}};
        consoleOut() << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
        consoleOut().flush();
    }
    consoleErr() << "qvlink: " << message << "\nrun qvlink --help for the commands\n";
    consoleErr().flush();
    return ExitUsage;
}

int Console::usage(const QString &message)
{
    return usageError(message, m_options.json, m_command);
}

int Console::cannotConnect(const QString &message)
{
    if (m_options.json)
        emitJson(QJsonObject{{"status", "cannot-connect"}, {"error", message}});
    err() << "qvlink: " << message << "\n";
    err().flush();
    return ExitCannotConnect;
}

int Console::fileError(const QString &message, QJsonObject result)
{
    if (m_options.json) {
        result.insert("status", "file-error");
        result.insert("error", message);
        emitJson(result);
    }
    err() << "qvlink: " << message << "\n";
    return ExitFileError;
}

int Console::badData(const QString &message, QJsonObject result)
{
    if (m_options.json) {
        result.insert("status", "bad-data");
        result.insert("error", message);
        emitJson(result);
    }
    err() << "qvlink: " << message << "\n";
    return ExitBadData;
}

int Console::interrupted(const QString &message, QJsonObject result)
{
    if (m_options.json) {
        result.insert("status", "interrupted");
        result.insert("error", message);
        emitJson(result);
    } else {
        out() << message << "\n";
    }
    return ExitInterrupted;
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
    catchInterrupts();
    const int rc = runCommand(m_options.command, m_options.args);
    out().flush();
    err().flush();
    return rc;
}

int Console::runCommand(const QString &command, const QStringList &args)
{
    m_command = command;
    const Command *found = nullptr;
    QStringList names;
    for (const Command &c : commands()) {
        names << QLatin1String(c.name);
        if (command == QLatin1String(c.name))
            found = &c;
    }
    int rc = ExitUsage;
    if (found) {
        rc = (this->*found->run)(command, args);
    } else {
        const QString guess = closestName(command, names, 3);
        rc = usage(QStringLiteral("unknown command %1").arg(command)
                   + (guess.isEmpty() ? QString() : QStringLiteral(" (did you mean %1?)").arg(guess)));
    }
    out().flush();
    err().flush();
    return rc;
}

int Console::walkthrough(const QString &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("walkthrough takes no arguments");
    return runWalkthrough(*this);
}

int Console::ports(const QString &, const QStringList &args)
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

// --- runs of bits and registers -----------------------------------------

bool Console::parseRead(const QString &command, const QStringList &args, ReadRequest *r, QString *error) const
{
    r->command = command;
    r->bits = command == "read-coils" || command == "read-inputs";
    qint64 address = 0, count = 1;
    if (args.isEmpty() || args.size() > 2 || !parseNumber(args.at(0), 0, 0xFFFF, &address)
        || (args.size() == 2 && !parseNumber(args.at(1), 1, 0xFFFF, &count))) {
        *error = QStringLiteral("%1 takes ADDR [N]: an address 0-65535 and a count 1-65535 (decimal or 0x)")
                     .arg(command);
        return false;
    }
    if (r->bits && m_options.type != Options::Word) {
        *error = QStringLiteral("--type is for registers, not for %1").arg(command);
        return false;
    }
    const qint64 items = count * (r->bits ? 1 : registersPerValue(m_options.type));
    if (address + items > 0x10000) {
        *error = QStringLiteral("%1: %2 %3 from address %4 would pass address 65535")
                     .arg(command).arg(items).arg(r->bits ? "items" : "registers").arg(address);
        return false;
    }
    r->address = quint16(address);
    r->values = int(count);
    r->items = int(items);
    return true;
}

Console::ReadResult Console::performRead(const ReadRequest &r) const
{
    ReadResult result;
    result.buffer = QByteArray(r.bits ? (r.items + 7) / 8 : r.items * 2, '\0');
    const AbstractDeviceModule m = module();
    char *data = result.buffer.data();
    if (r.command == "read-coils") result.items = m.readBit(r.address, quint16(r.items), data, &result.status);
    else if (r.command == "read-inputs") result.items = m.readRoBit(r.address, quint16(r.items), data, &result.status);
    else if (r.command == "read-holding") result.items = m.readWord(r.address, quint16(r.items), data, &result.status);
    else result.items = m.readRoWord(r.address, quint16(r.items), data, &result.status);
    return result;
}

int Console::valuesRead(const ReadRequest &r, const ReadResult &result) const
{
    return r.bits ? result.items : result.items / registersPerValue(m_options.type);
}

// "address: value" for value i.
QString Console::valueLabel(const ReadRequest &r, const ReadResult &result, int i) const
{
    const int address = r.address + i * (r.bits ? 1 : registersPerValue(m_options.type));
    const QString value = r.bits ? QString::number((result.buffer.at(i / 8) >> (i % 8)) & 1)
                                 : valueText(result.buffer, i, m_options);
    return QStringLiteral("%1: %2").arg(address).arg(value);
}

QJsonValue Console::valueJson(const ReadRequest &r, const ReadResult &result, int i) const
{
    return r.bits ? QJsonValue((result.buffer.at(i / 8) >> (i % 8)) & 1) : ::valueJson(result.buffer, i, m_options);
}

int Console::readRun(const QString &command, const QStringList &args)
{
    ReadRequest request;
    QString error;
    if (!parseRead(command, args, &request, &error))
        return usage(error);
    if (!connectLink())
        return ExitCannotConnect;
    const ReadResult result = performRead(request);
    const int n = valuesRead(request, result);
    QJsonObject json{{"address", request.address}, {"count", request.values}, {"read", n}};
    QJsonArray values;
    for (int i = 0; i < n; ++i) {
        values.append(valueJson(request, result, i));
        if (!m_options.json)
            out() << valueLabel(request, result, i) << "\n";
    }
    json.insert("values", values);
    if (!result.status)
        return fail(result.status, json, n ? QStringLiteral("read %1 of %2 before the failure").arg(n).arg(request.values)
                                           : QString());
    return succeed(json);
}

ModuleStatus Console::writeSingle(bool bit, quint16 address, quint16 value) const
{
    MessageBuilder builder(m_options.path);
    if (bit)
        builder.writeBit(address, value != 0);
    else
        builder.writeWord(address, value);
    // The module echoes the request as its target received it: its address, then
    // everything after the route.
    const QByteArray expected = char(builder.address()) + builder.buffer().mid(1 + 3 * builder.gateCount());
    ModuleStatus status = module().talk(builder);
    if (status && builder.buffer() != expected)
        status = ModuleStatus(ModuleStatus::InvalidReplyError);
    return status;
}

int Console::writeRun(const QString &command, const QStringList &args)
{
    const bool bits = command == "write-coils";
    qint64 address = 0;
    if (args.size() < 2 || !parseNumber(args.at(0), 0, 0xFFFF, &address))
        return usage(QStringLiteral("%1 takes ADDR VALUE...: an address 0-65535, then the values").arg(command));
    if (bits && m_options.type != Options::Word)
        return usage(QStringLiteral("--type is for registers, not for %1").arg(command));
    QByteArray buffer;
    int items = 0;
    for (const QString &text : args.mid(1)) {
        QString error;
        if (bits) {
            qint64 v = 0;
            if (!parseNumber(text, 0, 1, &v))
                return usage(QStringLiteral("%1 is not a coil value (0 or 1)").arg(text));
            if (items % 8 == 0)
                buffer.append('\0');
            buffer[items / 8] = char(buffer.at(items / 8) | (v << (items % 8)));
            ++items;
        } else {
            if (!appendValue(text, m_options, &buffer, &error))
                return usage(error);
            items = buffer.size() / 2;
        }
    }
    const char *unit = bits ? "coils" : "registers";
    if (address + items > 0x10000)
        return usage(QStringLiteral("%1: %2 %3 from address %4 would pass address 65535")
                         .arg(command).arg(items).arg(unit).arg(address));
    if (!connectLink())
        return ExitCannotConnect;

    ModuleStatus status;
    int written = 0;
    int function = bits ? MessageBuilder::WriteMultipleCoils : MessageBuilder::WriteMultipleRegisters;
    if (items == 1 && !m_options.multipleWrite) {
        function = bits ? MessageBuilder::WriteSingleCoil : MessageBuilder::WriteSingleRegister;
        const quint16 value = bits ? quint16(buffer.at(0) & 1) : quint16((quint8(buffer.at(0)) << 8) | quint8(buffer.at(1)));
        status = writeSingle(bits, quint16(address), value);
        written = status ? 1 : 0;
    } else {
        const AbstractDeviceModule m = module();
        written = bits ? m.writeBit(quint16(address), quint16(items), buffer.constData(), &status)
                       : m.writeWord(quint16(address), quint16(items), buffer.constData(), &status);
    }
    const QJsonObject json{{"address", int(address)}, {"count", items}, {"written", written}, {"function", function}};
    if (!status)
        return fail(status, json, written ? QStringLiteral("wrote %1 of %2 %3 from %4 before the failure")
                                                .arg(written).arg(items).arg(unit).arg(address)
                                          : QStringLiteral("nothing was written"));
    if (!m_options.json)
        out() << "wrote " << plural(written, bits ? "coil" : "register", unit) << " from " << address
              << " (function " << function << ")\n";
    return succeed(json);
}

// --- files ------------------------------------------------------------------

QString Console::fileName(const QString &name) const
{
    return name == QLatin1String("-") ? QStringLiteral("stdout") : name;
}

bool Console::writeOutput(const QByteArray &data, QString *error) const
{
    QFile f(m_options.out);
    const bool toStdout = m_options.out == QLatin1String("-");
    if (toStdout) {
        out().flush();
        if (!f.open(fileno(stdout), QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write to stdout: %1").arg(f.errorString());
            return false;
        }
    } else if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot open %1 for writing: %2").arg(m_options.out, f.errorString());
        return false;
    }
    // A full disk shows at the flush, not at the write into the buffer.
    if (f.write(data) != data.size() || !f.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(fileName(m_options.out), f.errorString());
        return false;
    }
    return true;
}

bool Console::readInput(QByteArray *data, QString *error) const
{
    QFile f(m_options.in);
    const bool ok = m_options.in == QLatin1String("-") ? f.open(fileno(stdin), QIODevice::ReadOnly)
                                                       : f.open(QIODevice::ReadOnly);
    if (ok)
        *data = f.readAll();
    if (!ok || f.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(m_options.in == QLatin1String("-") ? QStringLiteral("stdin") : m_options.in, f.errorString());
        return false;
    }
    return true;
}

int Console::readFile(const QString &, const QStringList &args)
{
    qint64 file = 0, record = 0, count = 0;
    if (args.size() != 3 || !parseNumber(args.at(0), 0, 0xFFFF, &file) || !parseNumber(args.at(1), 0, 0xFFFF, &record)
        || !parseNumber(args.at(2), 1, 0xFFFF, &count))
        return usage("read-file takes FILE RECORD N: numbers 0-65535, N from 1 [--out F]");
    if (record + count > 0x10000)
        return usage(QStringLiteral("read-file: %1 records from record %2 would pass record 65535").arg(count).arg(record));
    if (!m_options.in.isEmpty())
        return usage("read-file writes to --out; --in is for write-file");
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    ModuleStatus status;
    QByteArray data;
    // One frame's worth at a time, so that a long read shows its progress and
    // Ctrl-C stops it between frames.
    const int chunk = AbstractDeviceModule::wordChunkLimit(hopsOf(m_options.path));
    bool ended = false;
    while (data.size() / 2 < count && !ended && !interruptRequested()) {
        const int want = int(qMin<qint64>(chunk, count - data.size() / 2));
        QByteArray part(want * 2, '\0');
        const int got = m.readFile(quint16(file), quint16(record + data.size() / 2), quint16(want), part.data(), &status);
        data += part.left(got * 2);
        ended = got < want;
        progress("read-file", data.size() / 2, count);
        if (!status)
            break;
    }
    const int read = data.size() / 2;
    QJsonObject json{{"file", int(file)}, {"record", int(record)}, {"count", int(count)}, {"read", read}};
    if (!status)
        return fail(status, json, QStringLiteral("read %1 of %2 records before the failure; nothing was written")
                                      .arg(read).arg(count));
    const bool interruptedEarly = interruptRequested() && read < count && !ended;
    QString error;
    if (!m_options.out.isEmpty() && !writeOutput(data, &error))
        return fileError(error, json);
    const QString where = m_options.out.isEmpty() ? QString() : QStringLiteral(" into %1").arg(fileName(m_options.out));
    if (interruptedEarly)
        return interrupted(QStringLiteral("interrupted: %1 of %2 records read%3").arg(read).arg(count).arg(where), json);
    if (m_options.json) {
        json.insert("data", compactHex(data));
        return succeed(json);
    }
    // With --out - the records own stdout; the report goes to stderr.
    QTextStream &report = m_options.out == QLatin1String("-") ? err() : out();
    report << "read " << read << " records of file " << file << " from record " << record
           << (read < count ? " (the file ends there)" : "") << where << "\n";
    if (m_options.out.isEmpty()) {
        for (int i = 0; i < data.size(); i += 16)
            out() << QString::asprintf("%6d: ", int(record + i / 2)) << hex(data.mid(i, 16)) << "\n";
    }
    return ExitOk;
}

int Console::writeFile(const QString &, const QStringList &args)
{
    qint64 file = 0, record = 0;
    if (args.size() != 2 || m_options.in.isEmpty() || !parseNumber(args.at(0), 0, 0xFFFF, &file)
        || !parseNumber(args.at(1), 0, 0xFFFF, &record))
        return usage("write-file takes FILE RECORD --in F: numbers 0-65535 and a file (- for stdin)");
    if (!m_options.out.isEmpty())
        return usage("write-file reads --in; --out is for read-file");
    QJsonObject json{{"file", int(file)}, {"record", int(record)}};
    QByteArray data;
    QString error;
    if (!readInput(&data, &error))
        return fileError(error, json);
    const QString source = m_options.in == QLatin1String("-") ? QStringLiteral("stdin") : m_options.in;
    if (data.isEmpty() || data.size() % 2)
        return badData(QStringLiteral("%1 holds %2 bytes: it must hold whole 16-bit records (an even, non-zero size)")
                           .arg(source).arg(data.size()), json);
    const int count = data.size() / 2;
    if (record + count > 0x10000)
        return usage(QStringLiteral("write-file: the %1 records of %2 from record %3 would pass record 65535")
                         .arg(count).arg(source).arg(record));
    json.insert("count", count);
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    ModuleStatus status;
    const int chunk = AbstractDeviceModule::wordChunkLimit(hopsOf(m_options.path));
    int done = 0;
    while (done < count && !interruptRequested()) {
        const int n = qMin(chunk, count - done);
        done += m.writeFile(quint16(file), quint16(record + done), quint16(n), data.constData() + done * 2, &status);
        progress("write-file", done, count);
        if (!status)
            break;
    }
    json.insert("written", done);
    if (!status)
        return fail(status, json, QStringLiteral("wrote %1 of %2 records to file %3 from record %4 before the failure")
                                      .arg(done).arg(count).arg(file).arg(record));
    if (done < count)
        return interrupted(QStringLiteral("interrupted: %1 of %2 records written").arg(done).arg(count), json);
    if (!m_options.json)
        out() << "wrote " << done << " records to file " << file << " from record " << record << "\n";
    return succeed(json);
}

// The library reports a file too short for its trunk as an invalid reply, like a
// garbled one; reading the records again tells the two apart.
bool Console::trunkFileEnds(quint16 file) const
{
    const AbstractDeviceModule m = module();
    ModuleStatus status;
    QByteArray word(2, '\0');
    if (m.readFile(file, 0, 1, word.data(), &status) != 1 || !status)
        return status;  // not even the length record: the file ends there
    const int records = ((quint8(word.at(0)) << 8) | quint8(word.at(1))) / 2;
    QByteArray rest(records * 2, '\0');
    return records > 0 && m.readFile(file, 1, quint16(records), rest.data(), &status) < records && status;
}

int Console::readTrunk(const QString &, const QStringList &args)
{
    qint64 file = 0;
    if (args.size() != 1 || !parseNumber(args.at(0), 0, 0xFFFF, &file))
        return usage("read-trunk takes FILE (0-65535)");
    if (!connectLink())
        return ExitCannotConnect;
    ModuleStatus status;
    const QByteArray trunk = module().readTrunk(quint16(file), &status);
    QJsonObject json{{"file", int(file)}};
    if (!status && status.data() == int(ModuleStatus::InvalidReplyError) && trunkFileEnds(quint16(file)))
        return badData(QStringLiteral("file %1 ends before the block its length word announces").arg(file), json);
    if (!status)
        return fail(status, json);
    if (trunk == QByteArray(2, '\0'))
        return badData(QStringLiteral("the trunk in file %1 is damaged (too long, or its checksum does not match)")
                           .arg(file), json);
    const QByteArray payload = trunk.mid(2, trunk.size() - 4);
    if (m_options.json) {
        json.insert("length", trunk.size() - 2);
        json.insert("data", compactHex(payload));
        json.insert("crc", compactHex(trunk.right(2)));
        return succeed(json);
    }
    out() << "trunk of file " << file << ": " << payload.size() << " data bytes, checksum "
          << compactHex(trunk.right(2)) << " ok\n";
    for (int i = 0; i < payload.size(); i += 16)
        out() << QString::asprintf("%6d: ", i) << hex(payload.mid(i, 16)) << "\n";
    return ExitOk;
}

// --- services -----------------------------------------------------------------

int Console::identify(const QString &, const QStringList &args)
{
    static const char *const names[] = {"vendor", "product code", "version", "vendor URL", "product name",
                                        "model", "application"};
    if (!args.isEmpty())
        return usage("identify takes no arguments");
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    QJsonArray objects;
    // Objects 0-6 are the basic and regular identification; readObject follows the
    // module's more-follows pages itself.
    for (int id = 0; id < 7; ++id) {
        QByteArray value;
        const ModuleStatus status = m.readObject(id, value);
        if (!status)
            return fail(status, QJsonObject{{"objects", objects}});
        if (value.isNull())
            continue;
        objects.append(QJsonObject{{"id", id}, {"name", names[id]}, {"value", QString::fromUtf8(value)}});
        if (!m_options.json)
            out() << QString::asprintf("%d %-13s ", id, names[id]) << QString::fromUtf8(value) << "\n";
    }
    return succeed(QJsonObject{{"objects", objects}});
}

int Console::events(const QString &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("events takes no arguments");
    if (!connectLink())
        return ExitCannotConnect;
    quint16 word = 0, count = 0;
    const ModuleStatus status = module().readEventCount(&word, &count);
    if (!status)
        return fail(status, QJsonObject());
    const bool busy = word == AbstractDeviceModule::BusyStatusWord;
    if (!m_options.json)
        out() << "status word 0x" << QString::number(word, 16).rightJustified(4, '0')
              << (busy ? " (busy)" : word ? " (finished with an error)" : " (idle)") << ", event count " << count << "\n";
    return succeed(QJsonObject{{"statusWord", word}, {"busy", busy}, {"eventCount", count}});
}

int Console::waitIdle(const QString &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("wait takes no arguments (--period MS, --polls N)");
    if (!connectLink())
        return ExitCannotConnect;
    const int period = m_options.period >= 0 ? m_options.period : 100;
    const AbstractDeviceModule m = module();
    quint16 word = AbstractDeviceModule::BusyStatusWord;
    int polls = 0;
    while (polls < m_options.polls) {
        if (polls > 0 && !sleepUnlessInterrupted(period))
            return interrupted(QStringLiteral("interrupted: module %1 still busy after %2")
                                   .arg(m_options.path, plural(polls, "poll", "polls")),
                               QJsonObject{{"polls", polls}});
        const ModuleStatus status = m.readEventCount(&word);
        ++polls;
        if (!status)
            return fail(status, QJsonObject{{"polls", polls}});
        if (word != AbstractDeviceModule::BusyStatusWord)
            break;
    }
    const QJsonObject json{{"polls", polls}, {"statusWord", word}};
    if (word == AbstractDeviceModule::BusyStatusWord) {
        const QString message = QStringLiteral("module %1 is still busy after %2")
                                    .arg(m_options.path, plural(polls, "poll", "polls"));
        if (m_options.json) {
            QJsonObject o = json;
            o.insert("status", "still-busy");
            o.insert("error", message);
            emitJson(o);
        }
        err() << "qvlink: " << message << "\n";
        return ExitStillBusy;
    }
    if (word != 0)
        return fail(ModuleStatus(int(word)), json);
    if (!m_options.json)
        out() << "module " << m_options.path << " is idle after " << plural(polls, "poll", "polls") << "\n";
    return succeed(json);
}

int Console::restart(const QString &command, const QStringList &args)
{
    const bool bootloader = command == "bootloader";
    if (!args.isEmpty())
        return usage(QStringLiteral("%1 takes no arguments").arg(command));
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    const ModuleStatus status = bootloader ? m.enterBootloaderMode() : m.restart(m_options.clearLog);
    QJsonObject json;
    if (!bootloader)
        json.insert("clearLog", m_options.clearLog);
    if (!status)
        return fail(status, json);
    if (m_options.json)
        return succeed(json);
    if (bootloader)
        out() << "module " << m_options.path << " restarts into its boot loader\n";
    else
        out() << "module " << m_options.path << " restarts" << (m_options.clearLog ? ", its event log cleared" : "") << "\n";
    return ExitOk;
}

int Console::raw(const QString &, const QStringList &args)
{
    const QByteArray text = args.join(QString()).remove(' ').toLatin1();
    const QByteArray data = QByteArray::fromHex(text);
    if (text.isEmpty() || text.size() % 2 || data.toHex() != text.toLower())
        return usage("raw takes hex bytes, e.g. raw 01020304 or raw 01 02 03 04");
    // The payload shares one frame's data bytes with the route.
    const int limit = 100 - 3 * hopsOf(m_options.path);
    if (data.size() > limit)
        return usage(QStringLiteral("raw: at most %1 bytes fit one frame on this path").arg(limit));
    if (!connectLink())
        return ExitCannotConnect;
    ModuleStatus status;
    const QByteArray reply = module().transmit(data.constData(), data.size(), &status);
    QJsonObject json{{"sent", compactHex(data)}};
    if (!status)
        return fail(status, json);
    if (m_options.json) {
        json.insert("reply", compactHex(reply));
        return succeed(json);
    }
    out() << "sent " << data.size() << " bytes, the module answered " << reply.size() << " bytes"
          << (reply.isEmpty() ? QString() : ": " + hex(reply)) << "\n";
    return ExitOk;
}

int Console::scan(const QString &, const QStringList &args)
{
    qint64 from = 1, to = 16;
    if (args.size() > 2 || (args.size() >= 1 && !parseNumber(args.at(0), 1, 247, &from))
        || (args.size() == 2 && !parseNumber(args.at(1), from, 247, &to)))
        return usage("scan takes [FROM [TO]]: module addresses 1-247, FROM not above TO");
    if (args.size() == 1)
        to = from;
    if (!connectLink())
        return ExitCannotConnect;
    // A path ending in "/" scans behind that gateway; otherwise addresses on the link.
    const QString prefix = m_options.behindGateway ? m_options.path + QLatin1Char('/') : QString();
    // An absent module costs every attempt's time-out: keep both short unless asked.
    const int timeout = m_driver->readTimeouts(), attempts = m_client->attempts();
    m_driver->setReadTimeouts(m_options.timeout > 0 ? m_options.timeout : 30);
    if (m_options.retries < 0)
        m_client->setAttempts(2);
    QJsonArray found;
    qint64 last = from - 1;
    for (qint64 a = from; a <= to && !interruptRequested(); ++a) {
        const QString path = prefix + QString::number(a);
        quint16 word = 0;
        const ModuleStatus status = AbstractDeviceModule(path, m_client).readEventCount(&word);
        last = a;
        progress("scan", a - from + 1, to - from + 1);
        // Any answer, an exception too, means something lives at that address; a
        // gateway saying the target is absent does not.
        const bool present = status || (status.isException() && status.exceptionCommand() != 0xAB);
        if (!present)
            continue;
        found.append(QJsonObject{{"path", path}, {"status", statusKind(status)}});
        if (!m_options.json)
            out() << path << ": " << (status ? QStringLiteral("answers") : statusText(status)) << "\n";
    }
    m_driver->setReadTimeouts(timeout);
    m_client->setAttempts(attempts);
    const QJsonObject json{{"from", int(from)}, {"to", int(to)}, {"found", found}};
    const QString where = prefix.isEmpty() ? QStringLiteral("addresses ") : prefix;
    const QString modules = plural(found.size(), "module", "modules");
    if (last < to)
        return interrupted(QStringLiteral("interrupted: %1%2-%3 of %2-%4 scanned, %5 found")
                               .arg(where).arg(from).arg(last).arg(to).arg(modules), json);
    if (!m_options.json)
        out() << modules << " found at " << where << from << "-" << to << "\n";
    return succeed(json);
}
