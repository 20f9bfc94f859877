#ifndef WARNINGCATCHER_H
#define WARNINGCATCHER_H

#include <QtCore/QStringList>

// While alive, records every warning, critical and fatal message from any thread
// (and still prints it). Debug and info lines pass through unrecorded.
class WarningCatcher
{
public:
    WarningCatcher();
    ~WarningCatcher();
    WarningCatcher(const WarningCatcher &) = delete;
    WarningCatcher &operator=(const WarningCatcher &) = delete;

    QStringList messages() const;
    void clear();
};

#endif // WARNINGCATCHER_H
