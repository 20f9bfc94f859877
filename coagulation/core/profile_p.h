#ifndef PROFILE_P_H
#define PROFILE_P_H

#include <QtCore/QDir>
#include <QtCore/QHash>
#include <QtCore/QReadWriteLock>
#include <QtCore/QString>
#include <QtCore/QVariant>

class ProfilePrivate
{
public:
    QDir workdir;
    // Every key the store knows; a looked-up miss is held as an invalid QVariant.
    QHash<QString, QVariant> cache;
    // Guards the cache. Not recursive: no member takes it twice, and none holds
    // it while a signal is emitted.
    mutable QReadWriteLock lock;
};

#endif // PROFILE_P_H
