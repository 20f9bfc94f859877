#include "qvglobal.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QLibraryInfo>
#include <QtCore/QMutex>
#include <QtCore/QSettings>
#include <QtCore/QStringList>
#include <QtCore/QTextCodec>
#include <QtCore/QThread>
#include <QtCore/QTranslator>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

// ---------------------------------------------------------------------------
// Application support: codec, translations, message boxes, cursors, flags
// ---------------------------------------------------------------------------

namespace {

QApplication *widgetApplication()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance());
}

bool onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

struct HandlerSlot
{
    QMutex mutex;
    MessageBoxHandler handler;
};

HandlerSlot &handlerSlot()
{
    static HandlerSlot slot;
    return slot;
}

} // namespace

void setDefaultCodec()
{
    if (QTextCodec *utf8 = QTextCodec::codecForName("UTF-8"))
        QTextCodec::setCodecForLocale(utf8);
}

void installTranslators()
{
    setDefaultCodec();

    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qWarning("installTranslators: no application object, no translation installed");
        return;
    }

    QStringList directories;
    directories << QStringLiteral(".") << QStringLiteral("..") << QStringLiteral("../translations")
                << QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#ifdef QV_TRANSLATIONS_INSTALL_DIR
    directories << QStringLiteral(QV_TRANSLATIONS_INSTALL_DIR);
#endif

    const QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    const QString company = settings.value(QStringLiteral("settings/company")).toString();
    const QString language = settings.value(QStringLiteral("settings/language"), QStringLiteral("zh_CN")).toString();

    QStringList defaultNames;
    defaultNames << QStringLiteral("qt") << QStringLiteral("qv");
    if (!company.isEmpty())
        defaultNames << company;
    const QStringList names = settings.value(QStringLiteral("settings/translations"), defaultNames).toStringList();

    for (const QString &name : names) {
        const QString stem = name + QLatin1Char('_') + language;
        QTranslator *translator = new QTranslator(app);
        bool loaded = false;
        for (const QString &directory : qAsConst(directories)) {
            if (translator->load(stem, directory, QString(), QString())) {
                loaded = true;
                break;
            }
        }
        if (loaded) {
            qDebug().noquote() << stem << "loaded";
            QCoreApplication::installTranslator(translator);
        } else {
            qDebug().noquote() << stem << "not found";
            delete translator;
        }
    }
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler)
{
    HandlerSlot &slot = handlerSlot();
    QMutexLocker locker(&slot.mutex);
    MessageBoxHandler previous = std::move(slot.handler);
    slot.handler = std::move(handler);
    return previous;
}

MessageBoxHandler messageBoxHandler()
{
    HandlerSlot &slot = handlerSlot();
    QMutexLocker locker(&slot.mutex);
    return slot.handler;
}

QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, const QString &text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton)
{
    // A busy cursor set elsewhere must not hide the pointer while the box is open.
    const WaitCursor arrow(Qt::ArrowCursor);
    const QString title = QCoreApplication::applicationName();

    const MessageBoxHandler handler = messageBoxHandler();
    if (handler)
        return handler(icon, title, text, buttons, defaultButton);

    if (!widgetApplication() || !onGuiThread()) {
        qWarning().noquote() << "(showMessageBox) No box can be shown here:" << text;
        return QMessageBox::NoButton;
    }

    QMessageBox box(icon, title, text, buttons, topLevelWidget(),
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

QMessageBox::StandardButton information(const QString &text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Information, text, buttons, defaultButton);
}

QMessageBox::StandardButton question(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Question, text, buttons, defaultButton);
}

QMessageBox::StandardButton warning(const QString &text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Warning, text, buttons, defaultButton);
}

QMessageBox::StandardButton critical(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Critical, text, buttons, defaultButton);
}

QWidget *topLevelWidget()
{
    if (!widgetApplication() || !onGuiThread())
        return nullptr;
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget)
        widget = QApplication::activeWindow();
    if (!widget)
        return nullptr;
    QWidget *window = widget->window();
    return window ? window : widget;
}

WaitCursor::WaitCursor(Qt::CursorShape shape)
    : m_active(onGuiThread() && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
{
    if (m_active)
        QGuiApplication::setOverrideCursor(QCursor(shape));
}

WaitCursor::~WaitCursor()
{
    if (m_active)
        QGuiApplication::restoreOverrideCursor();
}

void sleep(int milliseconds)
{
    if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}
