#include "statustext.h"

using Modbus::ModuleStatus;

namespace {

QString exceptionName(int code)
{
    switch (code) {
    case 1: return QStringLiteral("illegal function");
    case 2: return QStringLiteral("illegal data address");
    case 3: return QStringLiteral("illegal data value");
    case 4: return QStringLiteral("device failure");
    case 5: return QStringLiteral("acknowledge");
    case 6: return QStringLiteral("device busy");
    case 10: return QStringLiteral("gateway path unavailable");
    case 11: return QStringLiteral("gateway target did not respond");
    default: return QStringLiteral("code %1").arg(code);
    }
}

} // namespace

const QVector<ToolExitCode> &consoleExitCodes()
{
    static const QVector<ToolExitCode> table = {
        {ExitOk, "ok"},
        {ExitUsage, "usage: a bad command line; nothing was sent"},
        {ExitCannotConnect, "cannot connect: the link could not be opened"},
        {ExitTimeout, "time-out: no reply from the module"},
        {ExitInvalidReply, "invalid reply: bad checksum, or a reply that does not fit the request"},
        {ExitException, "exception reported by the module or a gateway on the path"},
        {ExitDeviceError, "device error: the module finished with a status word other than 0"},
        {ExitWriteError, "write error: the request could not be sent"},
        {ExitBadData, "bad data: a damaged or incomplete trunk, an input file of odd size"},
        {ExitPollsFailed, "poll: some polls failed"},
        {ExitStillBusy, "wait: the module was still busy after --polls answers"},
        {ExitFileError, "a local file could not be read or written (--in, --out, --pcap)"},
        {ExitInterrupted, "interrupted by Ctrl-C; what was done is said"},
    };
    return table;
}

QString statusKind(const ModuleStatus &status)
{
    switch (status.data()) {
    case 0: return QStringLiteral("ok");
    case int(ModuleStatus::TimeoutError): return QStringLiteral("timeout");
    case int(ModuleStatus::InvalidReplyError): return QStringLiteral("invalid-reply");
    case int(ModuleStatus::WriteError): return QStringLiteral("write-error");
    case int(ModuleStatus::NotOpenError): return QStringLiteral("not-open");
    default: break;
    }
    if (status.isException())
        return QStringLiteral("exception");
    if (status.isDeviceError())
        return QStringLiteral("device-error");
    return QStringLiteral("error");
}

QString statusText(const ModuleStatus &status)
{
    switch (status.data()) {
    case 0: return QStringLiteral("ok");
    case int(ModuleStatus::TimeoutError): return QStringLiteral("time-out: no reply from the module");
    case int(ModuleStatus::InvalidReplyError):
        return QStringLiteral("invalid reply: bad checksum, or a reply that does not fit the request");
    case int(ModuleStatus::WriteError): return QStringLiteral("write error: the request could not be sent");
    case int(ModuleStatus::NotOpenError): return QStringLiteral("not open: no connection to the module");
    default: break;
    }
    if (status.isException()) {
        const int command = status.exceptionCommand();
        return QStringLiteral("exception from module %1, function %2 (0x%3): %4 (%5)")
            .arg(status.exceptionAddress())
            .arg(command & 0x7F)
            .arg(command, 2, 16, QLatin1Char('0'))
            .arg(exceptionName(status.exceptionCode()))
            .arg(status.exceptionCode());
    }
    if (status.isDeviceError())
        return QStringLiteral("device error: the module reports status 0x%1")
            .arg(status.data(), 4, 16, QLatin1Char('0'));
    return QStringLiteral("error 0x%1").arg(quint32(status.data()), 8, 16, QLatin1Char('0'));
}

int exitCodeFor(const ModuleStatus &status)
{
    switch (status.data()) {
    case 0: return ExitOk;
    case int(ModuleStatus::TimeoutError): return ExitTimeout;
    case int(ModuleStatus::InvalidReplyError): return ExitInvalidReply;
    case int(ModuleStatus::WriteError): return ExitWriteError;
    case int(ModuleStatus::NotOpenError): return ExitCannotConnect;
    default: break;
    }
    return status.isException() ? ExitException : ExitDeviceError;
}
