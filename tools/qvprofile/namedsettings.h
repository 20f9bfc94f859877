#ifndef NAMEDSETTINGS_H
#define NAMEDSETTINGS_H

#include <QString>
#include <QVariant>
#include <QVector>

class Profile;

// The named settings of Profile with their types, so that the tool reads and writes
// each through its typed accessor and parses a command-line value as that type.
struct NamedSetting {
    enum Type { Text, Color, Integer, Boolean };

    QString key;
    Type type;
};

const QVector<NamedSetting> &namedSettings();
const NamedSetting *findNamedSetting(const QString &key);
QString typeName(NamedSetting::Type type);

// Parses text as the setting's type; false with a reason when it does not fit.
bool parseSettingValue(const NamedSetting &setting, const QString &text, QVariant *value, QString *error);
// Reads the setting through its typed getter (empty default) and formats it.
QString readNamedSetting(Profile &profile, const NamedSetting &setting);
// Writes a value produced by parseSettingValue through the typed setter, with save.
void writeNamedSetting(Profile &profile, const NamedSetting &setting, const QVariant &value);

#endif // NAMEDSETTINGS_H
