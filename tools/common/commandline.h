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

// The command line of a tool, read by the conventions every tool follows:
// options anywhere, as --name value or --name=value; "--" ends them; a lone "-"
// and negative numbers are arguments; unknown options are refused; --help and
// --version are always there. The help text is made from the tables given.
class CommandLine
{
public:
    enum Outcome { Run, Help, Version, Invalid };
    enum { UsageExit = 1 };

    // usage: what follows the program's name on the help's first line.
    CommandLine(const QString &program, const QString &usage);

    void setDescription(const QString &text);
    void addOptions(const QVector<ToolOption> &options);
    // A titled part of the help after the options, such as the commands.
    void addSection(const QString &title, const QString &text);
    void setExitCodes(const QVector<ToolExitCode> &codes);

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

private:
    const ToolOption *find(const QString &name) const;
    const ToolOption *findShort(QChar letter) const;

    QString m_program;
    QString m_usage;
    QString m_description;
    QVector<ToolOption> m_options;
    QVector<QPair<QString, QString>> m_sections;
    QVector<ToolExitCode> m_exitCodes;
    QVector<QPair<QString, QString>> m_given;
    QStringList m_arguments;
    QString m_error;
};

// A number in decimal or, with 0x, in hexadecimal, optionally negative; false
// when the text is not one or lies outside low..high.
bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value);

// The candidate a mistyped name most likely meant: the one fewest edits away
// (letters inserted, removed or changed), or empty when even that one is more
// than maxEdits away (-1: any distance).
QString closestName(const QString &name, const QStringList &candidates, int maxEdits = -1);

#endif // COMMANDLINE_H
