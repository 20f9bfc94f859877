#ifndef TOOLRUNNER_H
#define TOOLRUNNER_H

#include <QtCore/QByteArray>
#include <QtCore/QProcessEnvironment>
#include <QtCore/QString>
#include <QtCore/QStringList>

// Runs one of the built programs (or any command) as a process and collects what
// it printed. Programs are found under QV_BINARY_DIR, as "tools/<name>/<name>".
struct ToolResult {
    bool started = false;
    bool finished = false;   // false when it had to be killed at the time-out
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QString text() const { return QString::fromUtf8(out); }
    QStringList lines() const;
};

QString toolPath(const QString &name);

ToolResult runProgram(const QString &program, const QStringList &args, const QString &workDir = QString(),
                      int timeoutMs = 30000, const QProcessEnvironment &env = QProcessEnvironment());

inline ToolResult runTool(const QString &name, const QStringList &args, const QString &workDir = QString(),
                          int timeoutMs = 30000)
{
    return runProgram(toolPath(name), args, workDir, timeoutMs);
}

#endif // TOOLRUNNER_H
