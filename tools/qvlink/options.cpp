#include "options.h"

#include "console.h"
#include "statustext.h"

#include <commandline.h>
#include <modbusprotocol.h>

using Modbus::FirstModuleAddress;
using Modbus::LastModuleAddress;

namespace {

const QVector<ToolOption> &optionTable()
{
    static const QVector<ToolOption> table = {
        {"", "", "Connection (without --url the embedded simulated analyser is started on loopback):"},
        {"url", "URL", "socks://HOST:PORT, or a serial port with its line settings, such as\n"
                       "/dev/ttyUSB0?baudrate=9600&parity=even&databits=8&stopbits=1&flowcontrol=none\n"
                       "(115200 8N1 without flow control unless the query says otherwise)"},
        {"path", "PATH", "module path, gateways first: 1, 1/5, 1/5/3; addresses 1-247 (default 1)"},
        {"timeout", "MS", "time-out for the first byte of a reply (default 100; scan 30)"},
        {"interval", "MS", "time-out between the bytes of a reply (default 50)"},
        {"retries", "N", "attempts after the first before an exchange fails (default 4; scan 1)"},
        {"", "", "Values:"},
        {"hex", "", "16-bit values in hexadecimal (the default)"},
        {"dec", "", "16-bit values in decimal"},
        {"signed", "", "16-bit values as signed decimal"},
        {"type", "TYPE", "word (one register per value, the default), int32, uint32 or float32\n"
                         "(two registers per value); reads and write-holding"},
        {"word-order", "ORDER", "high-first (the default) or low-first: which register of a pair\n"
                                "holds the high half of a 32-bit value"},
        {"multiple", "", "write a single coil or register with function 15 or 16, not 5 or 6"},
        {"", "", "Output:"},
        {"json", "", "one JSON object per command on stdout, failures included"},
        {"csv", "", "poll: one CSV line per poll (time, status, values); the summary on stderr"},
        {"trace", "", "every frame written (->) and every byte read (<-) with its time in ms, on\n"
                      "stderr; what was not taken as a reply says why"},
        {"pcap", "FILE", "the same frames to a capture file for Wireshark; - for stdout (a live\n"
                         "capture: | tshark -i -), and the console's own text then goes to stderr"},
        {"", "", "Command options:"},
        {"count", "N", "poll: number of polls (default: until Ctrl-C)"},
        {"period", "MS", "poll: ms between polls (default 1000); wait: between busy answers (default 100)"},
        {"polls", "N", "wait: busy answers before giving up (default 1000)"},
        {"out", "FILE", "read-file: write the records to FILE (- for stdout)"},
        {"in", "FILE", "write-file: the records to write (- for stdin)"},
        {"clear-log", "", "restart: clear the module's event log too"},
    };
    return table;
}

bool intOption(const CommandLine &line, const char *name, qint64 low, qint64 high, int *target, QString *error)
{
    if (!line.isSet(QLatin1String(name)))
        return true;
    qint64 v = 0;
    if (!parseNumber(line.value(QLatin1String(name)), low, high, &v)) {
        *error = QStringLiteral("--%1 needs a number from %2 to %3, not \"%4\"")
                     .arg(QLatin1String(name)).arg(low).arg(high).arg(line.value(QLatin1String(name)));
        return false;
    }
    *target = int(v);
    return true;
}

bool choiceOption(const CommandLine &line, const char *name, const QStringList &choices, int *index, QString *error)
{
    if (!line.isSet(QLatin1String(name)))
        return true;
    const int i = choices.indexOf(line.value(QLatin1String(name)));
    if (i < 0) {
        *error = QStringLiteral("--%1 is one of %2, not \"%3\"")
                     .arg(QLatin1String(name), choices.join(QStringLiteral(", ")), line.value(QLatin1String(name)));
        return false;
    }
    *index = i;
    return true;
}

} // namespace

CommandLine consoleCommandLine()
{
    CommandLine line(QStringLiteral("qvlink"), QStringLiteral("[options] COMMAND [ARGS]"));
    line.setDescription(QStringLiteral("The service console for the analyser's electronic modules."));
    line.addOptions(optionTable());
    line.setCommands(Console::commandList());
    line.setOptionScopes(Console::optionScopes());
    line.setExitCodes(consoleExitCodes());
    return line;
}

bool parseModulePath(const QString &text, QString *normalised, bool *behind, QString *error)
{
    const QString usage = QStringLiteral("--path \"%1\": a path is module addresses %2-%3 (decimal or 0x), gateways"
                                         " first, such as 1/5")
                              .arg(text).arg(int(FirstModuleAddress)).arg(int(LastModuleAddress));
    QStringList parts = text.split(QLatin1Char('/'));
    *behind = parts.size() > 1 && parts.last().isEmpty();
    if (*behind)
        parts.removeLast();
    QStringList decimal;
    for (const QString &part : parts) {
        qint64 address = 0;
        if (!parseNumber(part, FirstModuleAddress, LastModuleAddress, &address) || part.trimmed() != part) {
            *error = usage;
            return false;
        }
        decimal << QString::number(address);
    }
    // Each hop costs three bytes of every frame; past MaxHops no register fits any more.
    const QString joined = decimal.join(QLatin1Char('/'));
    if (Modbus::hopCount(joined) + (*behind ? 1 : 0) > Modbus::MaxHops) {
        *error = QStringLiteral("--path \"%1\" has more gateway hops than a frame can carry").arg(text);
        return false;
    }
    *normalised = joined;
    return true;
}

bool readOptions(const CommandLine &line, Options *o, QString *error)
{
    if (line.isSet("url") && !parseLinkAddress(line.value("url"), &o->link, error))
        return false;
    if (line.isSet("path") && !parseModulePath(line.value("path"), &o->path, &o->behindGateway, error))
        return false;
    int wordOrder = 0, type = o->type;
    if (!intOption(line, "timeout", 1, 60000, &o->timeout, error)
        || !intOption(line, "interval", 1, 60000, &o->interval, error)
        || !intOption(line, "retries", 0, 99, &o->retries, error)
        || !intOption(line, "count", 1, 100000000, &o->count, error)
        || !intOption(line, "period", 0, 3600000, &o->period, error)
        || !intOption(line, "polls", 1, 100000000, &o->polls, error)
        || !choiceOption(line, "type", {"word", "int32", "uint32", "float32"}, &type, error)
        || !choiceOption(line, "word-order", {"high-first", "low-first"}, &wordOrder, error))
        return false;
    o->type = Options::ValueType(type);
    o->lowWordFirst = wordOrder == 1;
    // The last of --hex, --dec and --signed counts.
    for (const auto &given : line.given()) {
        if (given.first == "hex") o->format = Options::Hex;
        else if (given.first == "dec") o->format = Options::Decimal;
        else if (given.first == "signed") o->format = Options::Signed;
    }
    o->multipleWrite = line.isSet("multiple");
    o->json = line.isSet("json");
    o->csv = line.isSet("csv");
    o->trace = line.isSet("trace");
    o->clearLog = line.isSet("clear-log");
    o->in = line.value("in");
    o->out = line.value("out");
    o->pcap = line.value("pcap");
    if ((line.isSet("in") && o->in.isEmpty()) || (line.isSet("out") && o->out.isEmpty())) {
        *error = QStringLiteral("--in and --out need a file name (- for stdin or stdout)");
        return false;
    }
    if (line.isSet("pcap") && o->pcap.isEmpty()) {
        *error = QStringLiteral("--pcap needs a file name");
        return false;
    }
    if (o->json && o->csv) {
        *error = QStringLiteral("--json and --csv do not go together");
        return false;
    }
    if (o->pcap == QLatin1String("-") && o->out == QLatin1String("-")) {
        *error = QStringLiteral("--out - writes the records to stdout, where --pcap - writes the capture");
        return false;
    }
    if (o->json && o->out == QLatin1String("-")) {
        *error = QStringLiteral("--out - writes the records to stdout, where --json writes its object");
        return false;
    }
    const QStringList args = line.arguments();
    if (args.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    o->command = args.first();
    o->args = args.mid(1);
    if (!line.checkCommand(o->command, error))
        return false;
    const QStringList behind = Console::commandsBehindGateway();
    if (o->behindGateway && !behind.contains(o->command)) {
        *error = QStringLiteral("a --path ending in / (the modules behind a gateway) is for %1 only").arg(listed(behind));
        return false;
    }
    return true;
}
