#ifndef TOOLMESSAGES_H
#define TOOLMESSAGES_H

#include <QString>
#include <QTextStream>

// Qt's and the library's messages as people see them from a tool: warnings and
// worse become "<program>: <text>" lines on stderr, without the source location
// some of them start with; debug and info lines are dropped.
void installToolMessageHandler();
QString withoutSourceLocation(const QString &text);

// stdout and stderr as the tools write them: one stream each, so that their output stays
// in order.
QTextStream &toolOut();
QTextStream &toolErr();
// From now on toolOut() writes to stderr too, in order with toolErr(): for a tool whose
// stdout carries data of another kind, such as a live capture.
void moveToolOutputToStderr();

// The language settings.ini in the current directory chooses
// ("settings/language"), or "en" when it chooses none: the tools speak English
// unless the working directory asks for another language.
QString chosenLanguage();

#endif // TOOLMESSAGES_H
