#ifndef STATUSTEXT_H
#define STATUSTEXT_H

#include <commandline.h>
#include <modulestatus.h>

#include <QString>
#include <QVector>

// Every outcome of a console command, once: its name, its "status" in --json, its exit
// code, and its text: the meaning --help and the README give the exit code, and the
// message for a status of the link of that kind. Kinds may share an exit code.
#define QV_CONSOLE_OUTCOMES(X) \
    X(Ok,            "ok",              0, "ok") \
    X(Usage,         "usage",           1, "usage: a bad command line; nothing was sent") \
    X(CannotConnect, "cannot-connect",  2, "cannot connect: the link could not be opened") \
    X(NotOpen,       "not-open",        2, "not open: no connection to the module") \
    X(Timeout,       "timeout",         3, "time-out: no reply from the module") \
    X(InvalidReply,  "invalid-reply",   4, "invalid reply: bad checksum, or a reply that does not fit the request") \
    X(Exception,     "exception",       5, "exception reported by the module or a gateway on the path") \
    X(DeviceError,   "device-error",    6, "device error: the module finished with a status word other than 0") \
    X(Error,         "error",           6, "error: a status of no known kind") \
    X(WriteError,    "write-error",     7, "write error: the request could not be sent") \
    X(BadData,       "bad-data",        8, "bad data: a damaged or incomplete trunk, an input file of odd size") \
    X(PollsFailed,   "polls-failed",    9, "poll: some polls failed") \
    X(StillBusy,     "still-busy",     10, "wait: the module was still busy after --polls answers") \
    X(FileError,     "file-error",     11, "a local file could not be read or written (--in, --out, --pcap)") \
    X(Interrupted,   "interrupted",   130, "interrupted by Ctrl-C; what was done is said")

#define QV_OUTCOME_ENUM(name, kind, code, text) name,
enum class Outcome { QV_CONSOLE_OUTCOMES(QV_OUTCOME_ENUM) };
#undef QV_OUTCOME_ENUM

// The exit codes by name: ExitOk, ExitUsage, ...
#define QV_OUTCOME_EXIT(name, kind, code, text) Exit##name = code,
enum ConsoleExit { QV_CONSOLE_OUTCOMES(QV_OUTCOME_EXIT) };
#undef QV_OUTCOME_EXIT

int exitCode(Outcome outcome);
QString outcomeKind(Outcome outcome);
QString outcomeText(Outcome outcome);
// Each exit code once, with the text of its first outcome, for --help.
QVector<ToolExitCode> consoleExitCodes();

// The outcome of a module status, its words and its exit code.
Outcome outcomeOf(const Modbus::ModuleStatus &status);
QString statusText(const Modbus::ModuleStatus &status);
QString statusKind(const Modbus::ModuleStatus &status);
int exitCodeFor(const Modbus::ModuleStatus &status);

#endif // STATUSTEXT_H
