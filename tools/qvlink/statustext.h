#ifndef STATUSTEXT_H
#define STATUSTEXT_H

#include <commandline.h>
#include <modulestatus.h>

#include <QString>
#include <QVector>

// The console's exit codes, one per kind of outcome; consoleExitCodes() is the
// table that --help and the README list.
enum ConsoleExit {
    ExitOk = 0,
    ExitUsage = 1,
    ExitCannotConnect = 2,
    ExitTimeout = 3,
    ExitInvalidReply = 4,
    ExitException = 5,
    ExitDeviceError = 6,
    ExitWriteError = 7,
    ExitBadData = 8,
    ExitPollsFailed = 9,
    ExitStillBusy = 10,
    ExitFileError = 11,
    ExitInterrupted = 130
};
const QVector<ToolExitCode> &consoleExitCodes();

// The status of an operation in words, and the console's exit code for its kind.
QString statusText(const Modbus::ModuleStatus &status);
QString statusKind(const Modbus::ModuleStatus &status);
int exitCodeFor(const Modbus::ModuleStatus &status);

#endif // STATUSTEXT_H
