#include "commandline.h"
#include "toolmessages.h"

#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

bool isOptionLike(const QString &a)
{
    // "-" alone means stdin or stdout; "-5" and "-0x10" are numbers.
    return a.size() > 1 && a.at(0) == QLatin1Char('-') && !a.at(1).isDigit() && a.at(1) != QLatin1Char('.');
}

QString optionLabel(const ToolOption &o)
{
    QString label = o.shortName.isNull() ? QStringLiteral("    ") : QStringLiteral("-%1, ").arg(o.shortName);
    label += QStringLiteral("--") + o.name;
    if (!o.valueName.isEmpty())
        label += QLatin1Char(' ') + o.valueName;
    return label;
}

int editDistance(const QString &a, const QString &b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

CommandLine::CommandLine(const QString &program, const QString &usage) : m_program(program), m_usage(usage)
{
}

void CommandLine::setDescription(const QString &text)
{
    m_description = text;
}

void CommandLine::addOptions(const QVector<ToolOption> &options)
{
    m_options += options;
}

void CommandLine::addSection(const QString &title, const QString &text)
{
    m_sections.append({title, text});
}

void CommandLine::setExitCodes(const QVector<ToolExitCode> &codes)
{
    m_exitCodes = codes;
    const auto given = [&](int code) {
        return std::any_of(codes.cbegin(), codes.cend(), [code](const ToolExitCode &c) { return c.code == code; });
    };
    if (!given(UsageExit))
        m_exitCodes.prepend({UsageExit, QStringLiteral("usage: a bad command line")});
    if (!given(OkExit))
        m_exitCodes.prepend({OkExit, QStringLiteral("ok")});
}

void CommandLine::setCommands(const QVector<ToolCommand> &commands)
{
    m_commands = commands;
}

void CommandLine::setOptionScopes(const QVector<ToolOptionScope> &scopes)
{
    m_scopes = scopes;
}

const ToolOption *CommandLine::find(const QString &name) const
{
    for (const ToolOption &o : m_options) {
        if (!o.name.isEmpty() && o.name == name)
            return &o;
    }
    return nullptr;
}

const ToolOption *CommandLine::findShort(QChar letter) const
{
    for (const ToolOption &o : m_options) {
        if (!o.name.isEmpty() && o.shortName == letter)
            return &o;
    }
    return nullptr;
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    m_given.clear();
    m_arguments.clear();
    m_error.clear();
    const int end = arguments.indexOf(QStringLiteral("--"));
    const QStringList options = arguments.mid(0, end);
    if (options.contains(QStringLiteral("--help")) || options.contains(QStringLiteral("-h")))
        return Help;
    if (options.contains(QStringLiteral("--version")))
        return Version;

    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (i == end) {
            m_arguments += arguments.mid(i + 1);
            break;
        }
        if (!isOptionLike(a)) {
            m_arguments.append(a);
            continue;
        }
        const ToolOption *option = nullptr;
        QString shown = a;
        QString value;
        bool inlineValue = false;
        if (a.startsWith(QLatin1String("--"))) {
            const int equals = a.indexOf(QLatin1Char('='));
            const QString name = a.mid(2, equals < 0 ? -1 : equals - 2);
            shown = QStringLiteral("--") + name;
            option = find(name);
            if (equals >= 0) {
                value = a.mid(equals + 1);
                inlineValue = true;
            }
            if (!option) {
                QStringList names;
                for (const ToolOption &o : m_options)
                    names << o.name;
                const QString guess = closestName(name, names, 2);
                m_error = QStringLiteral("unknown option %1").arg(shown);
                if (!guess.isEmpty())
                    m_error += QStringLiteral(" (did you mean --%1?)").arg(guess);
                return Invalid;
            }
        } else if (a.size() == 2) {
            option = findShort(a.at(1));
        }
        if (!option) {
            m_error = QStringLiteral("unknown option %1").arg(a);
            return Invalid;
        }
        if (option->valueName.isEmpty()) {
            if (inlineValue) {
                m_error = QStringLiteral("%1 takes no value").arg(shown);
                return Invalid;
            }
        } else if (!inlineValue) {
            if (i + 1 >= arguments.size() || i + 1 == end) {
                m_error = QStringLiteral("%1 needs a value (%2)").arg(shown, option->valueName);
                return Invalid;
            }
            value = arguments.at(++i);
        }
        m_given.append({option->name, value});
    }
    return Run;
}

bool CommandLine::isSet(const QString &name) const
{
    return std::any_of(m_given.cbegin(), m_given.cend(),
                       [&](const QPair<QString, QString> &g) { return g.first == name; });
}

QString CommandLine::value(const QString &name) const
{
    for (auto it = m_given.crbegin(); it != m_given.crend(); ++it) {
        if (it->first == name)
            return it->second;
    }
    return QString();
}

QString CommandLine::helpText() const
{
    QVector<ToolOption> all = m_options;
    all.append({QStringLiteral("help"), QString(), QStringLiteral("this help"), QLatin1Char('h')});
    all.append({QStringLiteral("version"), QString(), QStringLiteral("the program's name and version"), QChar()});
    int width = 0;
    for (const ToolOption &o : all)
        width = std::max(width, o.name.isEmpty() ? 0 : int(optionLabel(o).size()));
    width = std::min(width + 2, 30);

    QString text;
    QTextStream s(&text);
    s << "usage: " << m_program << ' ' << m_usage << "\n";
    if (!m_description.isEmpty())
        s << "\n" << m_description << "\n";
    s << "\nOptions:\n";
    const QString indent(2 + width, QLatin1Char(' '));
    for (const ToolOption &o : all) {
        if (o.name.isEmpty()) {
            s << o.help << "\n";
            continue;
        }
        const QString label = optionLabel(o);
        s << "  " << label;
        if (label.size() >= width)
            s << "\n" << indent;
        else
            s << QString(width - label.size(), QLatin1Char(' '));
        s << QString(o.help).replace(QLatin1Char('\n'), QLatin1Char('\n') + indent) << "\n";
    }
    if (!m_commands.isEmpty())
        s << "\nCommands:\n" << commandsText();
    for (const auto &section : m_sections)
        s << "\n" << section.first << ":\n" << section.second;
    if (!m_exitCodes.isEmpty()) {
        s << "\nExit codes:\n";
        for (const ToolExitCode &e : m_exitCodes)
            s << QStringLiteral("  %1  ").arg(e.code, 3) << e.meaning << "\n";
    }
    return text;
}

// One command a line, its help in a column after the longest name and synopsis.
QString CommandLine::commandsText() const
{
    QStringList heads;
    int width = 0;
    for (const ToolCommand &c : m_commands) {
        heads << (c.synopsis.isEmpty() ? c.name : c.name + QLatin1Char(' ') + c.synopsis);
        width = std::max(width, int(heads.last().size()));
    }
    width += 4;
    QString text;
    for (int i = 0; i < m_commands.size(); ++i) {
        const QString indent(width, QLatin1Char(' '));
        text += (QStringLiteral("  ") + heads.at(i)).leftJustified(width)
              + QString(m_commands.at(i).help).replace(QLatin1Char('\n'), QLatin1Char('\n') + indent)
              + QLatin1Char('\n');
    }
    return text;
}

const ToolCommand *CommandLine::findCommand(const QString &name) const
{
    for (const ToolCommand &c : m_commands) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

bool CommandLine::checkCommand(const QString &command, QString *error) const
{
    if (!findCommand(command)) {
        QStringList names;
        for (const ToolCommand &c : m_commands)
            names << c.name;
        // A third of the letters wrong, two at least, still reads as a typing error.
        const QString guess = closestName(command, names, std::max(2, int(command.size()) / 3));
        *error = QStringLiteral("unknown command %1").arg(command)
               + (guess.isEmpty() ? QString() : QStringLiteral(" (did you mean %1?)").arg(guess));
        return false;
    }
    for (const ToolOptionScope &scope : m_scopes) {
        if (scope.commands.contains(command))
            continue;
        for (const QString &option : scope.options) {
            if (!isSet(option))
                continue;
            QStringList names;
            for (const QString &o : scope.options)
                names << QStringLiteral("--") + o;
            *error = QStringLiteral("%1 %2 for %3, not for %4")
                         .arg(listed(names), QLatin1String(names.size() == 1 ? "is" : "are"), listed(scope.commands),
                              command);
            return false;
        }
    }
    return true;
}

bool CommandLine::checkArguments(const QString &command, const QStringList &args, QString *error) const
{
    const ToolCommand *c = findCommand(command);
    if (!c || c->synopsis.contains(QLatin1Char('[')) || c->synopsis.contains(QLatin1String("...")))
        return true;
    const QStringList words = c->synopsis.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (args.size() == words.size())
        return true;
    *error = QStringLiteral("%1 takes %2").arg(command, words.isEmpty() ? QStringLiteral("no arguments") : c->synopsis);
    return false;
}

bool CommandLine::takeCommand(QString *command, QStringList *args, QString *error) const
{
    if (m_arguments.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    *command = m_arguments.first();
    *args = m_arguments.mid(1);
    return checkCommand(*command, error) && checkArguments(*command, *args, error);
}

int CommandLine::usageError(const QString &message) const
{
    toolErr() << m_program << ": " << message << "\nrun " << m_program << " --help for the commands\n";
    toolErr().flush();
    return UsageExit;
}

QString CommandLine::versionText() const
{
    return QStringLiteral("%1 %2\n").arg(m_program, QStringLiteral(QV_VERSION));
}

int CommandLine::finish(Outcome outcome) const
{
    switch (outcome) {
    case Run:
        return -1;
    case Help:
        std::fputs(helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case Version:
        std::fputs(versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case Invalid:
        break;
    }
    std::fprintf(stderr, "%s: %s\nrun %s --help for the options\n", qPrintable(m_program), qPrintable(m_error),
                 qPrintable(m_program));
    return UsageExit;
}

QString listed(const QStringList &items)
{
    if (items.size() <= 1)
        return items.value(0);
    return QStringList(items.mid(0, items.size() - 1)).join(QStringLiteral(", ")) + QStringLiteral(" and ")
         + items.last();
}

bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value)
{
    const QString t = text.trimmed();
    const bool negative = t.startsWith(QLatin1Char('-'));
    QString digits = negative ? t.mid(1) : t;
    int base = 10;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        digits = digits.mid(2);
        base = 16;
    }
    // toLongLong would take a sign or spaces of its own.
    if (digits.isEmpty() || !digits.at(0).isLetterOrNumber() || !digits.at(digits.size() - 1).isLetterOrNumber())
        return false;
    bool ok = false;
    qint64 v = digits.toLongLong(&ok, base);
    if (!ok)
        return false;
    if (negative)
        v = -v;
    if (v < low || v > high)
        return false;
    *value = v;
    return true;
}

QString closestName(const QString &name, const QStringList &candidates, int maxEdits)
{
    QString best;
    int bestDistance = -1;
    for (const QString &c : candidates) {
        if (c.isEmpty())
            continue;
        const int d = editDistance(name.toLower(), c.toLower());
        if (bestDistance < 0 || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    if (maxEdits >= 0 && bestDistance > maxEdits)
        return QString();
    return best;
}
