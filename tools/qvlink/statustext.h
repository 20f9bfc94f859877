#ifndef STATUSTEXT_H
#define STATUSTEXT_H

#include <modulestatus.h>

#include <QString>

// The status of an operation in words, and the console's exit code for its kind.
QString statusText(const Modbus::ModuleStatus &status);
QString statusKind(const Modbus::ModuleStatus &status);
int exitCodeFor(const Modbus::ModuleStatus &status);

#endif // STATUSTEXT_H
