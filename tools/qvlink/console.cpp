#include "console.h"
#include "statustext.h"

#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <qvglobal.h>

#include <defaultanalyser.h>
#include <simulatorthread.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <unistd.h>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

} // namespace

QTextStream &consoleOut()
{
    static QTextStream s(stdout);
    return s;
}

namespace {

QTextStream &out()
{
    return consoleOut();
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// The number of hops of a path: its elements after the first.
int hopsOf(const QString &path)
{
    return qMax(0, path.split('/', Qt::SkipEmptyParts).size() - 1);
}

} // namespace

Console::Console(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_clock.start();
}

Console::~Console() = default;

bool Console::connectLink()
{
    if (m_client)
        return true;
    m_url = m_options.url;
    if (m_url.isEmpty()) {
        m_simulator.reset(new SimulatorThread);
        buildDefaultAnalyser(m_simulator->link());
        if (!m_simulator->start(SimulatorThread::Tcp)) {
            err() << "qvlink: cannot start the embedded simulated analyser: " << m_simulator->errorString() << "\n";
            return false;
        }
        m_url = m_simulator->url();
        err() << "qvlink: no --url given; using the embedded simulated analyser at " << m_url << "\n";
        err().flush();
    }
    m_driver = DeviceDriver::create(QUrl(m_url), this);
    if (m_options.timeout > 0)
        m_driver->setReadTimeouts(m_options.timeout);
    if (m_options.interval > 0)
        m_driver->setReadIntervalTimeouts(m_options.interval);
    m_driver->setUrl(QUrl(m_url));
    m_driver->setPortName(m_url);
    if (!m_driver->open()) {
        err() << "qvlink: cannot open " << m_url << ": " << m_driver->errorString() << "\n";
        return false;
    }
    m_client = new ModbusClient(this);
    m_client->setDriver(m_driver);
    connect(m_client, &ModbusClient::messageWritten, this, [this](const QByteArray &frame) {
        ++m_framesWritten;
        capture(PcapWriter::Request, frame);
        if (m_options.trace)
            err() << QString::asprintf("%10.3f ", m_clock.nsecsElapsed() / 1e6) << "-> " << hex(frame) << "\n";
        err().flush();
    });
    connect(m_client, &ModbusClient::messageRead, this, [this](int status, const QByteArray &frame) {
        if (status == 0)
            ++m_framesAnswered;
        // Whatever arrived, a bad or partial reply too; a time-out without a byte is no packet.
        if (!frame.isEmpty())
            capture(PcapWriter::Reply, frame);
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

void Console::capture(PcapWriter::Direction direction, const QByteArray &frame)
{
    if (!m_capture.isOpen() || m_capture.writeFrame(direction, frame))
        return;
    m_captureFailed = true;
    err() << "qvlink: capture stopped: cannot write " << m_options.pcap << ": " << m_capture.errorString() << "\n";
    err().flush();
}

int Console::usage(const QString &message)
{
    err() << "qvlink: " << message << "\n" << "run qvlink --help for the commands\n";
    return 1;
}

void Console::emitJson(QJsonObject result)
{
    result.insert("path", m_options.path);
    out() << QJsonDocument(result).toJson(QJsonDocument::Compact) << "\n";
}

int Console::fail(const ModuleStatus &status, QJsonObject result)
{
    if (m_options.json) {
        result.insert("status", statusKind(status));
        result.insert("error", statusText(status));
        result.insert("code", QString::number(quint32(status.data()), 16));
        emitJson(result);
    }
    err() << "qvlink: " << statusText(status) << "\n";
    return exitCodeFor(status);
}

QString Console::formatWord(quint16 value) const
{
    switch (m_options.format) {
    case Options::Decimal: return QString::number(value);
    case Options::Signed: return QString::number(qint16(value));
    case Options::Hex: break;
    }
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
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

int Console::runCommand(const QString &command, const QStringList &args)
{
    const int rc = dispatch(command, args);
    out().flush();
    err().flush();
    return rc;
}

int Console::dispatch(const QString &command, const QStringList &args)
{
    if (command == "ports")
        return ports();
    if (!connectLink())
        return 2;
    if (command.startsWith("read-") && command != "read-file" && command != "read-trunk")
        return readRun(command, args);
    if (command == "write-coils" || command == "write-holding")
        return writeRun(command, args);
    if (command == "read-file") return readFile(args);
    if (command == "write-file") return writeFile(args);
    if (command == "read-trunk") return readTrunk(args);
    if (command == "identify") return identify();
    if (command == "events") return events();
    if (command == "wait") return waitIdle();
    if (command == "restart") return restart(false);
    if (command == "bootloader") return restart(true);
    if (command == "raw") return raw(args);
    if (command == "scan") return scan(args);
    if (command == "poll") return poll(args);
    return usage(QStringLiteral("unknown command %1").arg(command));
}

int Console::run()
{
    if (!m_options.pcap.isEmpty() && !m_capture.open(m_options.pcap)) {
        err() << "qvlink: cannot write " << m_options.pcap << ": " << m_capture.errorString() << "\n";
        return 8;
    }
    int rc = m_options.command == "walkthrough" ? runWalkthrough(*this)
                                                : runCommand(m_options.command, m_options.args);
    // A capture asked for but cut short is a failure of this run, even when the
    // command itself went through.
    if (rc == 0 && m_captureFailed)
        rc = 8;
    out().flush();
    err().flush();
    return rc;
}

int Console::ports()
{
    DeviceDriver *serial = DeviceDriver::create(QUrl(), this);
    const QStringList names = serial->avaliablePorts();
    if (m_options.json) {
        QJsonObject o{{"command", "ports"}, {"status", "ok"}, {"ports", QJsonArray::fromStringList(names)}};
        out() << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
    } else if (names.isEmpty()) {
        out() << "no serial ports\n";
    } else {
        for (const QString &n : names)
            out() << n << "\n";
    }
    return 0;
}

int Console::readRun(const QString &command, const QStringList &args)
{
    const bool bits = command == "read-coils" || command == "read-inputs";
    if (!bits && command != "read-holding" && command != "read-input-registers")
        return usage(QStringLiteral("unknown command %1").arg(command));
    qint64 address = 0, count = 1;
    if (args.isEmpty() || args.size() > 2 || !parseNumber(args.at(0), 0, 0xFFFF, &address)
        || (args.size() == 2 && !parseNumber(args.at(1), 1, 0x10000 - address, &count)))
        return usage(QStringLiteral("%1 takes ADDR [COUNT]").arg(command));
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    QByteArray buffer(bits ? int((count + 7) / 8) : int(count * 2), '\0');
    int n = 0;
    if (command == "read-coils") n = module.readBit(address, count, buffer.data(), &status);
    else if (command == "read-inputs") n = module.readRoBit(address, count, buffer.data(), &status);
    else if (command == "read-holding") n = module.readWord(address, count, buffer.data(), &status);
    else n = module.readRoWord(address, count, buffer.data(), &status);

    QJsonObject result{{"command", command}, {"address", int(address)}, {"count", int(count)}, {"read", n}};
    QJsonArray values;
    for (int i = 0; i < n; ++i) {
        const int v = bits ? (buffer.at(i / 8) >> (i % 8)) & 1
                           : (quint8(buffer.at(2 * i)) << 8) | quint8(buffer.at(2 * i + 1));
        values.append(bits || m_options.format != Options::Signed ? v : int(qint16(v)));
        if (!m_options.json)
            out() << address + i << ": " << (bits ? QString::number(v) : formatWord(quint16(v))) << "\n";
    }
    result.insert("values", values);
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    }
    return 0;
}

int Console::writeRun(const QString &command, const QStringList &args)
{
    const bool bits = command == "write-coils";
    qint64 address = 0;
    if (args.size() < 2 || !parseNumber(args.at(0), 0, 0xFFFF, &address) || args.size() - 1 > 0x10000 - address)
        return usage(QStringLiteral("%1 takes ADDR VALUE...").arg(command));
    const int count = args.size() - 1;
    QByteArray buffer(bits ? (count + 7) / 8 : count * 2, '\0');
    for (int i = 0; i < count; ++i) {
        qint64 v = 0;
        if (!parseNumber(args.at(i + 1), bits ? 0 : -32768, bits ? 1 : 0xFFFF, &v))
            return usage(QStringLiteral("%1 is not a %2").arg(args.at(i + 1), bits ? "bit (0 or 1)" : "16-bit value"));
        if (bits) {
            buffer[i / 8] = char(buffer.at(i / 8) | (v << (i % 8)));
        } else {
            buffer[2 * i] = char((v >> 8) & 0xFF);
            buffer[2 * i + 1] = char(v & 0xFF);
        }
    }
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    const int n = bits ? module.writeBit(address, count, buffer.constData(), &status)
                       : module.writeWord(address, count, buffer.constData(), &status);
    QJsonObject result{{"command", command}, {"address", int(address)}, {"count", count}, {"written", n}};
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    } else {
        out() << "wrote " << n << (bits ? " coils" : " registers") << " from " << address << "\n";
    }
    return 0;
}

int Console::readFile(const QStringList &args)
{
    qint64 file = 0, record = 0, count = 0;
    if (args.size() != 3 || !parseNumber(args.at(0), 0, 0xFFFF, &file) || !parseNumber(args.at(1), 0, 0xFFFF, &record)
        || !parseNumber(args.at(2), 1, 0xFFFF, &count))
        return usage("read-file takes FILE RECORD COUNT [--out F]");
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    QByteArray data;
    // One frame's worth at a time, so that a long read can show its progress.
    const int chunk = AbstractDeviceModule::wordChunkLimit(hopsOf(m_options.path));
    bool ended = false;
    while (data.size() / 2 < count && !ended) {
        const int want = int(qMin<qint64>(chunk, count - data.size() / 2));
        QByteArray part(want * 2, '\0');
        const int got = module.readFile(file, record + data.size() / 2, want, part.data(), &status);
        data += part.left(got * 2);
        ended = got < want;
        progress("read-file", data.size() / 2, count);
        if (!status)
            break;
    }
    QJsonObject result{{"command", "read-file"}, {"file", int(file)}, {"record", int(record)},
                       {"count", int(count)}, {"read", data.size() / 2}};
    if (!status)
        return fail(status, result);
    if (!m_options.out.isEmpty()) {
        QFile f(m_options.out);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
            err() << "qvlink: cannot write " << m_options.out << ": " << f.errorString() << "\n";
            return 8;
        }
    }
    if (m_options.json) {
        result.insert("status", "ok");
        result.insert("data", hex(data).remove(' '));
        emitJson(result);
    } else {
        out() << "read " << data.size() / 2 << " records of file " << file << " from record " << record
              << (data.size() / 2 < count ? " (the file ends there)" : "")
              << (m_options.out.isEmpty() ? QString() : " into " + m_options.out) << "\n";
        if (m_options.out.isEmpty()) {
            for (int i = 0; i < data.size(); i += 16)
                out() << QString::asprintf("%6d: ", int(record + i / 2)) << hex(data.mid(i, 16)) << "\n";
        }
    }
    return 0;
}

int Console::writeFile(const QStringList &args)
{
    qint64 file = 0, record = 0;
    if (args.size() != 2 || m_options.in.isEmpty() || !parseNumber(args.at(0), 0, 0xFFFF, &file)
        || !parseNumber(args.at(1), 0, 0xFFFF, &record))
        return usage("write-file takes FILE RECORD --in F");
    QFile f(m_options.in);
    if (!f.open(QIODevice::ReadOnly)) {
        err() << "qvlink: cannot read " << m_options.in << ": " << f.errorString() << "\n";
        return 8;
    }
    const QByteArray data = f.readAll();
    if (data.isEmpty() || data.size() % 2 || data.size() / 2 > 0xFFFF) {
        err() << "qvlink: " << m_options.in << " must hold whole 16-bit records (an even, non-zero size)\n";
        return 8;
    }
    const int count = data.size() / 2;
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    const int chunk = AbstractDeviceModule::wordChunkLimit(hopsOf(m_options.path));
    int done = 0;
    while (done < count) {
        const int n = qMin(chunk, count - done);
        done += module.writeFile(file, record + done, n, data.constData() + done * 2, &status);
        progress("write-file", done, count);
        if (!status)
            break;
    }
    QJsonObject result{{"command", "write-file"}, {"file", int(file)}, {"record", int(record)},
                       {"count", count}, {"written", done}};
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    } else {
        out() << "wrote " << done << " records to file " << file << " from record " << record << "\n";
    }
    return 0;
}

int Console::readTrunk(const QStringList &args)
{
    qint64 file = 0;
    if (args.size() != 1 || !parseNumber(args.at(0), 0, 0xFFFF, &file))
        return usage("read-trunk takes FILE");
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    const QByteArray trunk = module.readTrunk(file, &status);
    QJsonObject result{{"command", "read-trunk"}, {"file", int(file)}};
    if (!status || trunk.isEmpty())
        return fail(status ? ModuleStatus(ModuleStatus::InvalidReplyError) : status, result);
    if (trunk == QByteArray(2, '\0')) {
        // The module answered, but the block is too long or its checksum is wrong.
        if (m_options.json) {
            result.insert("status", "bad-checksum");
            emitJson(result);
        }
        err() << "qvlink: the trunk in file " << file << " is damaged (too long, or its checksum does not match)\n";
        return 8;
    }
    const QByteArray payload = trunk.mid(2, trunk.size() - 4);
    if (m_options.json) {
        result.insert("status", "ok");
        result.insert("length", trunk.size() - 2);
        result.insert("data", hex(payload).remove(' '));
        result.insert("crc", hex(trunk.right(2)).remove(' '));
        emitJson(result);
    } else {
        out() << "trunk of file " << file << ": " << payload.size() << " data bytes, checksum "
              << hex(trunk.right(2)).remove(' ') << " ok\n";
        for (int i = 0; i < payload.size(); i += 16)
            out() << QString::asprintf("%6d: ", i) << hex(payload.mid(i, 16)) << "\n";
    }
    return 0;
}

int Console::identify()
{
    static const char *const names[] = {"vendor", "product code", "version", "vendor URL", "product name",
                                        "model", "application"};
    AbstractDeviceModule module(m_options.path, m_client);
    QJsonObject result{{"command", "identify"}};
    QJsonArray objects;
    // Objects 0-6 are the basic and regular identification; readObject follows the
    // module's more-follows pages itself.
    for (int id = 0; id < 7; ++id) {
        QByteArray value;
        const ModuleStatus status = module.readObject(id, value);
        if (!status)
            return fail(status, result);
        if (value.isNull())
            continue;
        objects.append(QJsonObject{{"id", id}, {"name", names[id]}, {"value", QString::fromUtf8(value)}});
        if (!m_options.json)
            out() << QString::asprintf("%d %-13s ", id, names[id]) << QString::fromUtf8(value) << "\n";
    }
    if (m_options.json) {
        result.insert("status", "ok");
        result.insert("objects", objects);
        emitJson(result);
    }
    return 0;
}

int Console::events()
{
    AbstractDeviceModule module(m_options.path, m_client);
    quint16 word = 0, count = 0;
    const ModuleStatus status = module.readEventCount(&word, &count);
    QJsonObject result{{"command", "events"}};
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        result.insert("statusWord", word);
        result.insert("busy", word == AbstractDeviceModule::BusyStatusWord);
        result.insert("eventCount", count);
        emitJson(result);
    } else {
        out() << "status word 0x" << QString::number(word, 16).rightJustified(4, '0')
              << (word == AbstractDeviceModule::BusyStatusWord ? " (busy)" : word ? " (finished with an error)" : " (idle)")
              << ", event count " << count << "\n";
    }
    return 0;
}

int Console::waitIdle()
{
    AbstractDeviceModule module(m_options.path, m_client);
    const int before = m_framesWritten;
    quint16 word = 0;
    const ModuleStatus status = module.wait(&word, m_options.polls);
    const int polls = m_framesWritten - before;
    QJsonObject result{{"command", "wait"}, {"polls", polls}, {"statusWord", word}};
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    } else {
        out() << "module " << m_options.path << " is idle after " << polls << (polls == 1 ? " poll" : " polls") << "\n";
    }
    return 0;
}

int Console::restart(bool bootloader)
{
    AbstractDeviceModule module(m_options.path, m_client);
    const ModuleStatus status = bootloader ? module.enterBootloaderMode() : module.restart(m_options.clearLog);
    const QString command = bootloader ? "bootloader" : "restart";
    QJsonObject result{{"command", command}};
    if (!bootloader)
        result.insert("clearLog", m_options.clearLog);
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        emitJson(result);
    } else if (bootloader) {
        out() << "module " << m_options.path << " restarts into its boot loader\n";
    } else {
        out() << "module " << m_options.path << " restarts" << (m_options.clearLog ? ", its event log cleared" : "")
              << "\n";
    }
    return 0;
}

int Console::raw(const QStringList &args)
{
    const QByteArray text = args.join(QString()).remove(' ').toLatin1();
    const QByteArray data = QByteArray::fromHex(text);
    if (text.isEmpty() || text.size() % 2 || data.toHex() != text.toLower())
        return usage("raw takes hex bytes, e.g. raw 01020304 or raw 01 02 03 04");
    AbstractDeviceModule module(m_options.path, m_client);
    ModuleStatus status;
    const QByteArray reply = module.transmit(data.constData(), data.size(), &status);
    QJsonObject result{{"command", "raw"}, {"sent", hex(data).remove(' ')}};
    if (!status)
        return fail(status, result);
    if (m_options.json) {
        result.insert("status", "ok");
        result.insert("reply", hex(reply).remove(' '));
        emitJson(result);
    } else {
        out() << "sent " << data.size() << " bytes, the module answered " << reply.size() << " bytes"
              << (reply.isEmpty() ? QString() : ": " + hex(reply)) << "\n";
    }
    return 0;
}

int Console::scan(const QStringList &args)
{
    qint64 from = 1, to = 16;
    if (args.size() > 2 || (args.size() >= 1 && !parseNumber(args.at(0), 0, 255, &from))
        || (args.size() == 2 && !parseNumber(args.at(1), from, 255, &to)))
        return usage("scan takes [FROM [TO]] (addresses 0-255)");
    if (args.size() == 1)
        to = from;
    // A path ending in "/" scans behind that gateway; otherwise addresses on the link.
    QString prefix = m_options.path.endsWith('/') ? m_options.path : QString();
    const int silentTimeout = m_options.timeout > 0 ? m_options.timeout : 30;
    m_driver->setReadTimeouts(silentTimeout);
    QJsonArray found;
    for (qint64 a = from; a <= to && !interrupted; ++a) {
        const QString path = prefix + QString::number(a);
        AbstractDeviceModule module(path, m_client);
        quint16 word = 0;
        const ModuleStatus status = module.readEventCount(&word);
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
    if (m_options.json) {
        emitJson(QJsonObject{{"command", "scan"}, {"status", "ok"}, {"from", int(from)}, {"to", int(to)},
                             {"found", found}});
    } else {
        out() << found.size() << (found.size() == 1 ? " module" : " modules") << " found at "
              << (prefix.isEmpty() ? QStringLiteral("addresses ") : prefix) << from << "-" << to << "\n";
    }
    return 0;
}

int Console::poll(const QStringList &args)
{
    if (args.isEmpty() || !args.first().startsWith("read-"))
        return usage("poll takes a read command, e.g. poll --count 5 read-holding 0 4");
    const QString command = args.first();
    const QStringList rest = args.mid(1);
    interrupted = 0;
    std::signal(SIGINT, onInterrupt);
    int rounds = 0;
    QMap<QString, int> errors;
    double minMs = 0, maxMs = 0, sumMs = 0;
    int timed = 0;
    const int writtenBefore = m_framesWritten, answeredBefore = m_framesAnswered;
    const bool json = m_options.json;
    int lastRc = 0;
    while (!interrupted && (m_options.count < 0 || rounds < m_options.count)) {
        if (rounds > 0) {
            for (int slept = 0; slept < m_options.period && !interrupted; slept += 10)
                QThread::msleep(qMin(10, m_options.period - slept));
            if (interrupted)
                break;
        }
        QElapsedTimer t;
        t.start();
        lastRc = runCommand(command, rest);
        const double ms = t.nsecsElapsed() / 1e6;
        ++rounds;
        if (lastRc == 1)
            return 1;
        if (lastRc == 0) {
            minMs = timed ? qMin(minMs, ms) : ms;
            maxMs = qMax(maxMs, ms);
            sumMs += ms;
            ++timed;
        } else {
            const QMap<int, QString> kinds = {{2, "not-open"}, {3, "timeout"}, {4, "invalid-reply"},
                                              {5, "exception"}, {6, "device-error"}, {7, "write-error"}};
            errors[kinds.value(lastRc, "error")]++;
        }
        out().flush();
    }
    std::signal(SIGINT, SIG_DFL);
    const int sent = m_framesWritten - writtenBefore, received = m_framesAnswered - answeredBefore;
    const double loss = sent ? 100.0 * (sent - received) / sent : 0.0;
    int errorCount = 0;
    QStringList kinds;
    QJsonObject errorJson;
    for (auto it = errors.constBegin(); it != errors.constEnd(); ++it) {
        errorCount += it.value();
        kinds << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        errorJson.insert(it.key(), it.value());
    }
    if (json) {
        emitJson(QJsonObject{{"command", "poll"}, {"summary", true}, {"rounds", rounds}, {"sent", sent},
                             {"received", received}, {"errors", errorJson}, {"loss", loss},
                             {"rttMin", timed ? minMs : 0}, {"rttAvg", timed ? sumMs / timed : 0},
                             {"rttMax", timed ? maxMs : 0}});
    } else {
        out() << "--- " << command << " " << rest.join(' ') << " on " << m_options.path << " ---\n"
              << rounds << " polls, " << sent << " frames sent, " << received << " replies received, "
              << errorCount << (errorCount == 1 ? " error" : " errors")
              << (kinds.isEmpty() ? QString() : " (" + kinds.join(", ") + ")")
              << QString::asprintf(", %.1f%% loss\n", loss);
        if (timed)
            out() << QString::asprintf("round-trip min/avg/max = %.3f/%.3f/%.3f ms\n", minMs, sumMs / timed, maxMs);
    }
    return errorCount ? 9 : 0;
}
