#ifndef QVLOGGING_P_H
#define QVLOGGING_P_H

#include <QtSql/QSqlError>

#include "qvlogging.h"

// A statement that failed, as the log shows it: the source location of the
// statement, then the database's error text.
#define QV_SQL_WARNING(category, error) \
    qCWarning(category, "%s:%d: %s", __FILE__, __LINE__, qPrintable((error).text()))

#endif // QVLOGGING_P_H
