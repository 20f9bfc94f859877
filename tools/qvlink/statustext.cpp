#include "statustext.h"

#include <modbusprotocol.h>

#include <algorithm>

using Modbus::ModuleStatus;

namespace {

struct OutcomeRow {
    const char *kind;
    int exitCode;
    const char *text;
};

#define QV_OUTCOME_ROW(name, kind, code, text) {kind, code, text},
const OutcomeRow outcomes[] = { QV_CONSOLE_OUTCOMES(QV_OUTCOME_ROW) };
#undef QV_OUTCOME_ROW

const OutcomeRow &row(Outcome outcome)
{
    return outcomes[int(outcome)];
}

} // namespace

int exitCode(Outcome outcome)
{
    return row(outcome).exitCode;
}

QString outcomeKind(Outcome outcome)
{
    return QLatin1String(row(outcome).kind);
}

QString outcomeText(Outcome outcome)
{
    return QLatin1String(row(outcome).text);
}

QVector<ToolExitCode> consoleExitCodes()
{
    QVector<ToolExitCode> codes;
    for (const OutcomeRow &r : outcomes) {
        const bool listed = std::any_of(codes.cbegin(), codes.cend(), [&](const ToolExitCode &c) { return c.code == r.exitCode; });
        if (!listed)
            codes.append({r.exitCode, QLatin1String(r.text)});
    }
    return codes;
}

Outcome outcomeOf(const ModuleStatus &status)
{
    switch (status.data()) {
    case int(ModuleStatus::NoError): return Outcome::Ok;
    case int(ModuleStatus::TimeoutError): return Outcome::Timeout;
    case int(ModuleStatus::InvalidReplyError): return Outcome::InvalidReply;
    case int(ModuleStatus::WriteError): return Outcome::WriteError;
    case int(ModuleStatus::NotOpenError): return Outcome::NotOpen;
    default: break;
    }
    if (status.isException())
        return Outcome::Exception;
    return status.isDeviceError() ? Outcome::DeviceError : Outcome::Error;
}

QString statusKind(const ModuleStatus &status)
{
    return outcomeKind(outcomeOf(status));
}

int exitCodeFor(const ModuleStatus &status)
{
    return exitCode(outcomeOf(status));
}

QString statusText(const ModuleStatus &status)
{
    switch (outcomeOf(status)) {
    case Outcome::Exception: {
        const int command = status.exceptionCommand();
        const QString text = status.exceptionText();
        return QStringLiteral("exception from module %1, function %2 (0x%3): %4 (%5)")
            .arg(status.exceptionAddress())
            .arg(command & ~Modbus::ExceptionBit)
            .arg(command, 2, 16, QLatin1Char('0'))
            .arg(text.isEmpty() ? QStringLiteral("code %1").arg(status.exceptionCode()) : text)
            .arg(status.exceptionCode());
    }
    case Outcome::DeviceError:
        return QStringLiteral("device error: the module reports status 0x%1")
            .arg(status.data(), 4, 16, QLatin1Char('0'));
    case Outcome::Error:
        return QStringLiteral("error 0x%1").arg(quint32(status.data()), 8, 16, QLatin1Char('0'));
    default:
        return outcomeText(outcomeOf(status));
    }
}
