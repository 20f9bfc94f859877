#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// One option of a tool. A row with an empty name is a heading in the help text.
struct ToolOption {
    QString name;       // the long form without its dashes: "url" for --url
    QString valueName;  // what the help calls its value ("MS"); empty for a switch
    QString help;
    QChar shortName = QChar();  // a one-letter form ("C" for -C), or none
};

// One exit status of a tool, as its help and the README list it.
struct ToolExitCode {
    int code;
    QString meaning;
};

// One command of a tool: the help's list of commands and the check of a command's name
// and its arguments come from the tool's table of these.
struct ToolCommand {
    QString name;
    QString synopsis;  // what follows the name ("KEY VALUE", "ADDR [N]"); empty: nothing
    QString help;      // lines after the first are indented under it
};

// Options that mean something to some commands only: given with another command they are
// refused rather than silently ignored.
struct ToolOptionScope {
    QStringList options;  // long names without their dashes
    QStringList commands;
};

// The command line of a tool, read by the conventions every tool follows:
// options anywhere, as --name value or --name=value; "--" ends them; a lone "-"
// and negative numbers are arguments; unknown options are refused; --help and
// --version are always there. The help text is made from the tables given.
class CommandLine
{
public:
    enum Outcome { Run, Help, Version, Invalid };
    // The exit codes every tool shares.
    enum { OkExit = 0, UsageExit = 1 };

    // usage: what follows the program's name on the help's first line.
    CommandLine(const QString &program, const QString &usage);

    void setDescription(const QString &text);
    void addOptions(const QVector<ToolOption> &options);
    // A titled part of the help after the options, such as the commands.
    void addSection(const QString &title, const QString &text);
    // The help lists these after OkExit ("ok") and UsageExit ("usage: a bad command line"),
    // unless the table gives its own text for them.
    void setExitCodes(const QVector<ToolExitCode> &codes);
    // The commands, listed in the help after the options under "Commands".
    void setCommands(const QVector<ToolCommand> &commands);
    void setOptionScopes(const QVector<ToolOptionScope> &scopes);

    Outcome parse(const QStringList &arguments);

    bool isSet(const QString &name) const;
    // The value given last; empty when the option was not given.
    QString value(const QString &name) const;
    // Every option given, in order, with its value (empty for a switch).
    QVector<QPair<QString, QString>> given() const { return m_given; }
    QStringList arguments() const { return m_arguments; }
    QString errorText() const { return m_error; }

    QString program() const { return m_program; }
    QString helpText() const;
    QString versionText() const;

    // Help and version go to stdout (0); a bad command line to stderr with a
    // hint (UsageExit). -1 when the tool is to go on.
    int finish(Outcome outcome) const;

    // Whether command is one of the commands, given none of the options scoped to others;
    // else false with the message (naming the command most likely meant).
    bool checkCommand(const QString &command, QString *error) const;
    // Whether args fit the command's synopsis, where that is plain words such as
    // "KEY VALUE" (one argument each); a synopsis with [optional] or repeated... parts is
    // the command's own to check.
    bool checkArguments(const QString &command, const QStringList &args, QString *error) const;
    // The command (the first argument) and its arguments, checked by both of the above;
    // false with the message when there is none or they do not fit.
    bool takeCommand(QString *command, QStringList *args, QString *error) const;
    // A bad command found after parsing: the message and a hint on stderr; UsageExit.
    int usageError(const QString &message) const;

private:
    const ToolOption *find(const QString &name) const;
    const ToolOption *findShort(QChar letter) const;
    const ToolCommand *findCommand(const QString &name) const;
    QString commandsText() const;

    QString m_program;
    QString m_usage;
    QString m_description;
    QVector<ToolOption> m_options;
    QVector<QPair<QString, QString>> m_sections;
    QVector<ToolExitCode> m_exitCodes;
    QVector<ToolCommand> m_commands;
    QVector<ToolOptionScope> m_scopes;
    QVector<QPair<QString, QString>> m_given;
    QStringList m_arguments;
    QString m_error;
};

// "a", "a and b", "a, b and c".
QString listed(const QStringList &items);

// A number in decimal or, with 0x, in hexadecimal, optionally negative; false
// when the text is not one or lies outside low..high.
bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value);

// The candidate a mistyped name most likely meant: the one fewest edits away
// (letters inserted, removed or changed), or empty when even that one is more
// than maxEdits away (-1: any distance).
QString closestName(const QString &name, const QStringList &candidates, int maxEdits = -1);

#endif // COMMANDLINE_H
