// poll: a read repeated at a period, each with its time, until --count or Ctrl-C,
// then a summary in the manner of ping. A link that drops is reopened with a
// growing pause; polls that fail, reconnection attempts included, count as lost.

#include "console.h"
#include "statustext.h"

#include <toolmessages.h>

#include <devicedriver.h>
#include <modbusclient.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QMap>

using Modbus::ModuleStatus;

namespace {

enum { FirstBackoffMs = 500, LongestBackoffMs = 16000 };

QString timestamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 3) + QStringLiteral(" s");
}

// A failure after which the link itself has to be opened again.
bool linkLost(const ModuleStatus &status, const DeviceDriver *driver)
{
    return !driver->isOpen() || status.data() == int(ModuleStatus::NotOpenError)
        || status.data() == int(ModuleStatus::WriteError);
}

struct PollStats {
    int polls = 0;
    int failed = 0;
    int reconnects = 0;
    QMap<QString, int> errors;
    double minMs = 0, maxMs = 0, sumMs = 0;
    int timed = 0;

    void answered(double ms)
    {
        minMs = timed ? qMin(minMs, ms) : ms;
        maxMs = qMax(maxMs, ms);
        sumMs += ms;
        ++timed;
    }
    void lost(const QString &kind)
    {
        ++failed;
        ++errors[kind];
    }
};

} // namespace

bool Console::reopenLink(QString *error)
{
    m_driver->close();
    if (m_driver->open())
        return true;
    *error = m_driver->errorString();
    return false;
}

void Console::printPoll(const ReadRequest &request, const ReadResult &result, const QString &time)
{
    const int n = valuesRead(request, result);
    if (m_options.json) {
        QJsonArray values;
        for (int i = 0; i < n; ++i)
            values.append(valueJson(request, result, i));
        QJsonObject o{{"command", request.command}, {"time", time}, {"address", request.address},
                      {"count", request.values}, {"read", n}, {"values", values},
                      {"status", statusKind(result.status)}};
        if (!result.status)
            o.insert("error", describe(result.status));
        emitJson(o);
        return;
    }
    if (m_options.csv) {
        QStringList fields{time, statusKind(result.status)};
        for (int i = 0; i < n; ++i)
            fields << valueLabel(request, result, i).section(QStringLiteral(": "), 1);
        for (int i = n; i < request.values; ++i)
            fields << QString();
        toolOut() << fields.join(QLatin1Char(',')) << "\n";
        return;
    }
    for (int i = 0; i < n; ++i)
        toolOut() << time << "  " << valueLabel(request, result, i) << "\n";
    if (!result.status)
        toolOut() << time << "  " << describe(result.status) << "\n";
}

int Console::poll(const Command &, const QStringList &args)
{
    ReadRequest request;
    QString error;
    const Command *read = findCommand(args.value(0));
    if (!read || !read->read)
        return usage(QStringLiteral("poll takes a read of coils, inputs or registers, e.g. poll --count 5 read-holding 0 4"));
    if (!parseRead(*read, args.mid(1), &request, &error))
        return usage(error);
    if (!connectLink())
        return ExitCannotConnect;
    const int period = m_options.period >= 0 ? m_options.period : 1000;
    QTextStream &report = m_options.csv ? toolErr() : toolOut();
    if (m_options.csv) {
        QStringList header{QStringLiteral("time"), QStringLiteral("status")};
        const int step = request.bits ? 1 : request.items / request.values;
        for (int i = 0; i < request.values; ++i)
            header << QString::number(request.address + i * step);
        toolOut() << header.join(QLatin1Char(',')) << "\n";
    }

    PollStats stats;
    const int writtenBefore = m_framesWritten, answeredBefore = m_framesAnswered;
    bool down = false;
    int backoff = FirstBackoffMs;
    // A capture that stopped (its reader went away) ends the polls it was to record.
    while (!interruptRequested() && m_captureError.isEmpty() && (m_options.count < 0 || stats.polls < m_options.count)) {
        if (stats.polls > 0 && !sleepUnlessInterrupted(down ? backoff : period))
            break;
        ++stats.polls;
        if (down) {
            if (!reopenLink(&error)) {
                stats.lost(outcomeKind(Outcome::NotOpen));
                backoff = qMin(backoff * 2, int(LongestBackoffMs));
                report << timestamp() << "  cannot reopen " << m_url << ": " << error << "; next try in "
                       << seconds(backoff) << "\n";
                report.flush();
                continue;
            }
            down = false;
            backoff = FirstBackoffMs;
            ++stats.reconnects;
            report << timestamp() << "  reconnected to " << m_url << "\n";
        }
        QElapsedTimer t;
        t.start();
        const ReadResult result = performRead(request);
        printPoll(request, result, timestamp());
        if (result.status) {
            stats.answered(t.nsecsElapsed() / 1e6);
        } else {
            stats.lost(statusKind(result.status));
            if (linkLost(result.status, m_driver)) {
                down = true;
                report << timestamp() << "  the link to " << m_url << " dropped; reconnecting in " << seconds(backoff)
                       << "\n";
            }
        }
        toolOut().flush();
        report.flush();
    }

    const int sent = m_framesWritten - writtenBefore, received = m_framesAnswered - answeredBefore;
    const double loss = stats.polls ? 100.0 * stats.failed / stats.polls : 0.0;
    QStringList kinds;
    QJsonObject errorJson;
    for (auto it = stats.errors.constBegin(); it != stats.errors.constEnd(); ++it) {
        kinds << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        errorJson.insert(it.key(), it.value());
    }
    if (m_options.json) {
        emitJson(QJsonObject{{"command", "poll"}, {"summary", true}, {"rounds", stats.polls}, {"failed", stats.failed},
                             {"sent", sent}, {"received", received}, {"errors", errorJson}, {"loss", loss},
                             {"reconnects", stats.reconnects}, {"rttMin", stats.timed ? stats.minMs : 0},
                             {"rttAvg", stats.timed ? stats.sumMs / stats.timed : 0},
                             {"rttMax", stats.timed ? stats.maxMs : 0}});
    } else {
        report << "--- " << request.command << " " << args.mid(1).join(' ') << " on " << m_options.path << " ---\n"
               << stats.polls << " polls, " << sent << " frames sent, " << received << " replies received, "
               << stats.failed << (stats.failed == 1 ? " error" : " errors")
               << (kinds.isEmpty() ? QString() : " (" + kinds.join(", ") + ")")
               << QString::asprintf(", %.1f%% loss", loss)
               << (stats.reconnects ? QStringLiteral(", %1 reconnected").arg(stats.reconnects) : QString()) << "\n";
        if (stats.timed)
            report << QString::asprintf("round-trip min/avg/max = %.3f/%.3f/%.3f ms\n", stats.minMs,
                                        stats.sumMs / stats.timed, stats.maxMs);
    }
    report.flush();
    if (!m_captureError.isEmpty())
        return ExitFileError;
    return stats.failed ? ExitPollsFailed : ExitOk;
}
