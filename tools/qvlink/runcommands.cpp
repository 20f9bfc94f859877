// The reads and writes of runs of bits and registers.

#include "console.h"
#include "consoleformat.h"
#include "statustext.h"
#include "registervalues.h"

#include <commandline.h>
#include <messagebuilder.h>

#include <algorithm>

#include <QJsonArray>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

bool Console::parseRead(const Command &command, const QStringList &args, ReadRequest *r, QString *error) const
{
    r->command = command.text.name;
    r->read = command.read;
    r->bits = command.items == Bits;
    qint64 address = 0, count = 1;
    if (args.isEmpty() || args.size() > 2 || !parseNumber(args.at(0), 0, 0xFFFF, &address)
        || (args.size() == 2 && !parseNumber(args.at(1), 1, 0xFFFF, &count))) {
        *error = QStringLiteral("%1 takes ADDR [N]: an address 0-65535 and a count 1-65535 (decimal or 0x)")
                     .arg(r->command);
        return false;
    }
    if (r->bits && m_options.type != Options::Word) {
        *error = QStringLiteral("--type is for registers, not for %1").arg(r->command);
        return false;
    }
    const qint64 items = count * (r->bits ? 1 : registersPerValue(m_options.type));
    if (address + items > 0x10000) {
        *error = QStringLiteral("%1: %2 %3 from address %4 would pass address 65535")
                     .arg(r->command).arg(items).arg(r->bits ? "items" : "registers").arg(address);
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
    result.items = (m.*r.read)(r.address, quint16(r.items), result.buffer.data(), &result.status);
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

int Console::readRun(const Command &command, const QStringList &args)
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
        return fail(result.status, json,
                    n ? QStringLiteral("read %1 of %2 before the failure").arg(n).arg(request.values) : QString());
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
    const QByteArray expected =
        char(builder.address()) + builder.buffer().mid(1 + Modbus::RouteTripletSize * builder.gateCount());
    ModuleStatus status = module().talk(builder);
    if (status && builder.buffer() != expected)
        status = ModuleStatus(ModuleStatus::InvalidReplyError);
    return status;
}

int Console::writeRun(const Command &row, const QStringList &args)
{
    const QString &command = row.text.name;
    const bool bits = row.items == Bits;
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
    int function = bits ? Modbus::WriteMultipleCoils : Modbus::WriteMultipleRegisters;
    if (items == 1 && !m_options.multipleWrite) {
        function = bits ? Modbus::WriteSingleCoil : Modbus::WriteSingleRegister;
        const quint16 value = bits ? quint16(buffer.at(0) & 1)
                                   : quint16((quint8(buffer.at(0)) << 8) | quint8(buffer.at(1)));
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
