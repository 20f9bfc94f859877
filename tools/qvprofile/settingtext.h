#ifndef SETTINGTEXT_H
#define SETTINGTEXT_H

#include <QString>
#include <QVariant>

class ProfileItem;

// The command line's text form of a named setting's value: how its type is named,
// how a value is read from an argument and how it is shown.

// The words a bool is given in, in any letter case; stored as true or false.
#define BOOLEAN_WORDS "true/false, yes/no, on/off or 1/0"

// "text", "color", "int" or "bool" for the type of a named setting.
QString typeName(int type);
// Parses text as the setting's type; false with a reason when it does not fit.
bool parseSettingValue(const ProfileItem &setting, const QString &text, QVariant *value, QString *error);
// A value as the setting's getter returns it, as text: a colour as #rrggbb (an
// invalid one as nothing), a bool as true or false.
QString settingText(const QVariant &value);

#endif // SETTINGTEXT_H
