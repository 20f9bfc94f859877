#ifndef WORKDIR_H
#define WORKDIR_H

#include <QString>

// Creates a fresh working directory: "settings.ini" naming the four databases, the
// profile database with its table "profile" (unique name), the data database with
// the tables "patient" and "curve", and the quality-control and system-log
// databases with one table each. Existing databases are never overwritten.
bool createWorkDirectory(const QString &path, QString *error);

#endif // WORKDIR_H
