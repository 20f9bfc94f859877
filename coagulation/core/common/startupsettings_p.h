#ifndef STARTUPSETTINGS_P_H
#define STARTUPSETTINGS_P_H

#include <QtCore/QSettings>

// "settings.ini" in the current directory: the start-up settings of every program.
// Read as UTF-8 with either Qt: a file written by hand holds UTF-8 paths and names,
// which Qt 6 reads as such and Qt 5 would take for Latin-1. A file Qt wrote with
// escapes reads the same either way.
class StartupSettings : public QSettings
{
public:
    StartupSettings() : QSettings(QStringLiteral("settings.ini"), QSettings::IniFormat)
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        setIniCodec("UTF-8");
#endif
    }
};

#endif // STARTUPSETTINGS_P_H
