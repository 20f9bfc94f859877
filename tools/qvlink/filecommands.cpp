// File records from and to local files, and the checksummed block of a file.

#include "console.h"
#include "consoleformat.h"
#include "statustext.h"

#include <commandline.h>
#include <modbusprotocol.h>

#include <QFile>

#include <cstdio>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

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

int Console::readFile(const Command &, const QStringList &args)
{
    qint64 file = 0, record = 0, count = 0;
    if (args.size() != 3 || !parseNumber(args.at(0), 0, 0xFFFF, &file) || !parseNumber(args.at(1), 0, 0xFFFF, &record)
        || !parseNumber(args.at(2), 1, 0xFFFF, &count))
        return usage("read-file takes FILE RECORD N: numbers 0-65535, N from 1 [--out F]");
    if (record + count > 0x10000)
        return usage(QStringLiteral("read-file: %1 records from record %2 would pass record 65535")
                         .arg(count).arg(record));
    if (!connectLink())
        return ExitCannotConnect;
    const AbstractDeviceModule m = module();
    ModuleStatus status;
    QByteArray data;
    // One frame's worth at a time, so that a long read shows its progress and
    // Ctrl-C stops it between frames.
    const int chunk = Modbus::wordChunkLimit(Modbus::hopCount(m_options.path));
    bool ended = false;
    while (data.size() / 2 < count && !ended && !interruptRequested()) {
        const int want = int(qMin<qint64>(chunk, count - data.size() / 2));
        QByteArray part(want * 2, '\0');
        const quint16 from = quint16(record + data.size() / 2);
        const int got = m.readFile(quint16(file), from, quint16(want), part.data(), &status);
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
        return conclude(Outcome::FileError, error, json);
    const QString where = m_options.out.isEmpty() ? QString() : QStringLiteral(" into %1").arg(fileName(m_options.out));
    if (interruptedEarly)
        return conclude(Outcome::Interrupted, QStringLiteral("interrupted: %1 of %2 records read%3").arg(read).arg(count).arg(where),
                           json);
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

int Console::writeFile(const Command &, const QStringList &args)
{
    qint64 file = 0, record = 0;
    if (args.size() != 2 || m_options.in.isEmpty() || !parseNumber(args.at(0), 0, 0xFFFF, &file)
        || !parseNumber(args.at(1), 0, 0xFFFF, &record))
        return usage("write-file takes FILE RECORD --in F: numbers 0-65535 and a file (- for stdin)");
    QJsonObject json{{"file", int(file)}, {"record", int(record)}};
    QByteArray data;
    QString error;
    if (!readInput(&data, &error))
        return conclude(Outcome::FileError, error, json);
    const QString source = m_options.in == QLatin1String("-") ? QStringLiteral("stdin") : m_options.in;
    if (data.isEmpty() || data.size() % 2)
        return conclude(Outcome::BadData, QStringLiteral("%1 holds %2 bytes: it must hold whole 16-bit records (an even, non-zero size)")
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
    const int chunk = Modbus::wordChunkLimit(Modbus::hopCount(m_options.path));
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
        return conclude(Outcome::Interrupted, QStringLiteral("interrupted: %1 of %2 records written").arg(done).arg(count), json);
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

int Console::readTrunk(const Command &, const QStringList &args)
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
        return conclude(Outcome::BadData, QStringLiteral("file %1 ends before the block its length word announces").arg(file), json);
    if (!status)
        return fail(status, json);
    if (trunk == QByteArray(2, '\0'))
        return conclude(Outcome::BadData, QStringLiteral("the trunk in file %1 is damaged (too long, or its checksum does not match)")
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
