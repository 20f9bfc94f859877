#ifndef SQLITEFILE_H
#define SQLITEFILE_H

#include <QtCore/QString>
#include <QtCore/QStringList>

// Runs statements, in order, on a private connection to the SQLite file at
// path (made if missing, its folder too). False, with a warning line, at the
// first statement that fails.
bool execSqlite(const QString &path, const QStringList &statements);

#endif // SQLITEFILE_H
