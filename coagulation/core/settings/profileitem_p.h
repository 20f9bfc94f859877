#ifndef PROFILEITEM_P_H
#define PROFILEITEM_P_H

#include <QtCore/QString>
#include <QtCore/QVariant>

class Profile;

// One row of profilesettings.h, made into data: the texts are functions so that
// they are translated when asked for, and the accessors are the typed ones.
struct ProfileItemRow
{
    const char *key;
    int type;
    QVariant (*defaultValue)();
    QString (*group)();
    QString (*label)();
    QVariant (*get)(Profile &);
    void (*set)(Profile &, const QVariant &, bool);
};

// Every named setting, in the order they are declared.
const ProfileItemRow *profileItemRows(int *count);

#endif // PROFILEITEM_P_H
