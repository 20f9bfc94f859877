#include "warningcatcher.h"

#include <QtCore/QMutex>
#include <QtCore/QtGlobal>

namespace {

QMutex catcherMutex;
QStringList caught;
QtMessageHandler previousHandler = nullptr;

void catchMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        QMutexLocker locker(&catcherMutex);
        caught.append(text);
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

} // namespace

WarningCatcher::WarningCatcher()
{
    QMutexLocker locker(&catcherMutex);
    caught.clear();
    previousHandler = qInstallMessageHandler(catchMessage);
}

WarningCatcher::~WarningCatcher()
{
    qInstallMessageHandler(previousHandler);
    QMutexLocker locker(&catcherMutex);
    previousHandler = nullptr;
}

QStringList WarningCatcher::messages() const
{
    QMutexLocker locker(&catcherMutex);
    return caught;
}

void WarningCatcher::clear()
{
    QMutexLocker locker(&catcherMutex);
    caught.clear();
}
