#ifndef QVGLOBAL_H
#define QVGLOBAL_H

#include <functional>

#include <QtCore/QString>
#include <QtWidgets/QMessageBox>

#include "qvcore_global.h"

class QWidget;

// ---------------------------------------------------------------------------
// Application support: codec, translations, message boxes, cursors, flags
// ---------------------------------------------------------------------------

// Makes UTF-8 the codec for the locale, which Qt uses for 8-bit file names,
// QString::fromLocal8Bit/toLocal8Bit and console output. String literals and
// tr() source texts are always read as UTF-8 in Qt 5, so nothing else is needed
// for the UTF-8 sources of this library.
QVCORE_EXPORT void setDefaultCodec();

// Sets the codec as setDefaultCodec() does, then loads one translation file per
// base name from "settings.ini" ("settings/translations", by default "qt", "qv"
// and "settings/company" when set) for the language "settings/language"
// (default "zh_CN"). Each stem (base name, '_', language) is looked for in ".",
// "..", "../translations", Qt's translations directory and the library's
// installed translations directory, in that order; the first file found is
// installed in the application. A debug line "<stem> loaded" or
// "<stem> not found" is written for every stem. Needs the application object,
// which owns the translators.
QVCORE_EXPORT void installTranslators();

// Every message box of the library goes through one routine. Without a handler
// it shows a modal QMessageBox titled with the application name, parented on
// topLevelWidget(), and returns the button pressed. With a handler installed,
// the handler receives what the box would show and its return value is taken
// as the button pressed; no box is shown. Tests and headless programs use this.
using MessageBoxHandler = std::function<QMessageBox::StandardButton(
    QMessageBox::Icon icon, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)>;

// Installs handler (an empty one restores the real boxes) and returns the one
// it replaces, so that scoped handlers can nest.
QVCORE_EXPORT MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);
QVCORE_EXPORT MessageBoxHandler messageBoxHandler();

// The shared routine behind the four boxes below. A box asked for outside the
// GUI thread, or without a QApplication, cannot be shown: without a handler it
// is written as a warning line and NoButton is returned.
QVCORE_EXPORT QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, const QString &text,
                                                         QMessageBox::StandardButtons buttons,
                                                         QMessageBox::StandardButton defaultButton);

// defaultButton NoButton leaves the box without a default button.
QVCORE_EXPORT QMessageBox::StandardButton information(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QVCORE_EXPORT QMessageBox::StandardButton question(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No),
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QVCORE_EXPORT QMessageBox::StandardButton warning(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QVCORE_EXPORT QMessageBox::StandardButton critical(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// The window to parent a dialog on: the active modal widget's window, else the
// active window, else null.
QVCORE_EXPORT QWidget *topLevelWidget();

// Sets an application override cursor for its lifetime. Acts only on the GUI
// thread, so worker code may make one safely; nested ones restore in reverse.
class QVCORE_EXPORT WaitCursor
{
public:
    explicit WaitCursor(Qt::CursorShape shape = Qt::WaitCursor);
    ~WaitCursor();

private:
    Q_DISABLE_COPY(WaitCursor)
    bool m_active;
};

// Sets a flag for its lifetime and writes the earlier value back when it ends.
class QVCORE_EXPORT BoolLocker
{
public:
    BoolLocker(bool &flag, bool value) : m_flag(flag), m_saved(flag) { m_flag = value; }
    ~BoolLocker() { m_flag = m_saved; }

private:
    Q_DISABLE_COPY(BoolLocker)
    bool &m_flag;
    const bool m_saved;
};

// Blocks the calling thread for the given time without processing events.
// A negative time is taken as zero.
QVCORE_EXPORT void sleep(int milliseconds);

#endif // QVGLOBAL_H
