// Identification, the event counter and waiting on it, restarts, pass-through
// and the scan for modules.

#include "console.h"
#include "consoleformat.h"
#include "statustext.h"

#include <commandline.h>
#include <devicedriver.h>
#include <modbusclient.h>

#include <QJsonArray>

using namespace Modbus;

int Console::identify(const Command &, const QStringList &args)
{
    // Display names of the basic and regular objects, VendorName to UserApplicationName.
    static const char *const names[] = {"vendor", "product code", "version", "vendor URL", "product name",
                                        "model", "application"};
    if (!args.isEmpty())
        return usage("identify takes no arguments");
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    QJsonArray objects;
    // readObject follows the module's more-follows pages itself.
    for (int id = Modbus::VendorName; id <= Modbus::UserApplicationName; ++id) {
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

int Console::events(const Command &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("events takes no arguments");
    if (!connectLink())
        return ExitCannotConnect;
    quint16 word = 0, count = 0;
    const ModuleStatus status = module().readEventCount(&word, &count);
    if (!status)
        return fail(status, QJsonObject());
    const bool busy = word == Modbus::BusyStatusWord;
    if (!m_options.json)
        out() << "status word 0x" << QString::number(word, 16).rightJustified(4, '0')
              << (busy ? " (busy)" : word ? " (finished with an error)" : " (idle)") << ", event count " << count
              << "\n";
    return succeed(QJsonObject{{"statusWord", word}, {"busy", busy}, {"eventCount", count}});
}

int Console::waitIdle(const Command &, const QStringList &args)
{
    if (!args.isEmpty())
        return usage("wait takes no arguments (--period MS, --polls N)");
    if (!connectLink())
        return ExitCannotConnect;
    const int period = m_options.period >= 0 ? m_options.period : 100;
    const AbstractDeviceModule m = module();
    quint16 word = Modbus::BusyStatusWord;
    int polls = 0;
    while (polls < m_options.polls) {
        if (polls > 0 && !sleepUnlessInterrupted(period))
            return conclude(Outcome::Interrupted, QStringLiteral("interrupted: module %1 still busy after %2")
                                   .arg(m_options.path, plural(polls, "poll", "polls")),
                               QJsonObject{{"polls", polls}});
        const ModuleStatus status = m.readEventCount(&word);
        ++polls;
        if (!status)
            return fail(status, QJsonObject{{"polls", polls}});
        if (word != Modbus::BusyStatusWord)
            break;
    }
    const QJsonObject json{{"polls", polls}, {"statusWord", word}};
    if (word == Modbus::BusyStatusWord)
        return conclude(Outcome::StillBusy, QStringLiteral("module %1 is still busy after %2")
                                                .arg(m_options.path, plural(polls, "poll", "polls")), json);
    if (word != 0)
        return fail(ModuleStatus(int(word)), json);
    if (!m_options.json)
        out() << "module " << m_options.path << " is idle after " << plural(polls, "poll", "polls") << "\n";
    return succeed(json);
}

int Console::restart(const Command &command, const QStringList &args)
{
    if (!args.isEmpty())
        return usage(QStringLiteral("%1 takes no arguments").arg(command.text.name));
    if (!connectLink())
        return ExitCannotConnect;
    const QJsonObject json{{"clearLog", m_options.clearLog}};
    const ModuleStatus status = module().restart(m_options.clearLog);
    if (!status)
        return fail(status, json);
    if (!m_options.json)
        out() << "module " << m_options.path << " restarts" << (m_options.clearLog ? ", its event log cleared" : "")
              << "\n";
    return succeed(json);
}

int Console::enterBootloader(const Command &command, const QStringList &args)
{
    if (!args.isEmpty())
        return usage(QStringLiteral("%1 takes no arguments").arg(command.text.name));
    if (!connectLink())
        return ExitCannotConnect;
    const ModuleStatus status = module().enterBootloaderMode();
    if (!status)
        return fail(status, QJsonObject());
    if (!m_options.json)
        out() << "module " << m_options.path << " restarts into its boot loader\n";
    return succeed(QJsonObject());
}

int Console::raw(const Command &, const QStringList &args)
{
    const QByteArray text = args.join(QString()).remove(' ').toLatin1();
    const QByteArray data = QByteArray::fromHex(text);
    if (text.isEmpty() || text.size() % 2 || data.toHex() != text.toLower())
        return usage("raw takes hex bytes, e.g. raw 01020304 or raw 01 02 03 04");
    // The payload shares one frame's data bytes with the route.
    const int limit = Modbus::frameDataBytes(Modbus::hopCount(m_options.path));
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

int Console::scan(const Command &, const QStringList &args)
{
    qint64 from = 1, to = 16;
    if (args.size() > 2 || (args.size() >= 1 && !parseNumber(args.at(0), FirstModuleAddress, LastModuleAddress, &from))
        || (args.size() == 2 && !parseNumber(args.at(1), from, LastModuleAddress, &to)))
        return usage(QStringLiteral("scan takes [FROM [TO]]: module addresses %1-%2, FROM not above TO")
                         .arg(int(FirstModuleAddress)).arg(int(LastModuleAddress)));
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
        const bool present =
            status || (status.isException() && status.exceptionCommand() != (EncapsulatedInterface | ExceptionBit));
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
        return conclude(Outcome::Interrupted, QStringLiteral("interrupted: %1%2-%3 of %2-%4 scanned, %5 found")
                               .arg(where).arg(from).arg(last).arg(to).arg(modules), json);
    if (!m_options.json)
        out() << modules << " found at " << where << from << "-" << to << "\n";
    return succeed(json);
}
