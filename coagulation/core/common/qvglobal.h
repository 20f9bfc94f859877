#ifndef QVGLOBAL_H
#define QVGLOBAL_H

#include <functional>

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariant>
#include <QtWidgets/QMessageBox>

#include "qvcore_global.h"

class QDate;
class QSqlRecord;
class QWidget;

/**
 * \file qvglobal.h
 * \brief Application support, number and dilution text, scripts.
 *
 * Free functions that programs of the analyser share: translations, message boxes,
 * cursors, scoped flags; volume, dilution and number text; script evaluation; and the
 * numbering of samples. \ref threads_common tells which thread may call what.
 */

// ---------------------------------------------------------------------------
// Application support: codec, translations, message boxes, cursors, flags
// ---------------------------------------------------------------------------

/**
 * Makes UTF-8 the codec for the locale, which Qt 5 uses for 8-bit file names,
 * QString::fromLocal8Bit()/toLocal8Bit() and console output. String literals and tr()
 * source texts are always read as UTF-8 in Qt 5, so nothing else is needed for the
 * UTF-8 sources of this library. With Qt 6 UTF-8 is the only locale codec on this
 * platform and there is nothing to set: this does nothing. Call it on the main thread
 * before other threads start.
 */
QVCORE_EXPORT void setDefaultCodec();

/**
 * Sets the codec as setDefaultCodec() does, then loads one translation file per base
 * name from "settings.ini" in the working directory ("settings/translations", by
 * default "qt", "qv" and "settings/company" when set) for the language
 * "settings/language" (default "zh_CN", the language the library's texts are written in).
 *
 * Each stem (base name, '_', language) is looked for in ".", "..", "../translations",
 * Qt's translations directory, then the program's directory's "../translations", the
 * library's translations directory (as installed beside the library's file, then as
 * configured at build time) and the build tree's, in that order; the
 * first file found is installed in the application. A debug line "<stem> loaded" or
 * "<stem> not found" is written for every stem; a file not found is no failure.
 *
 * Needs the application object, which owns the translators: without one it writes a
 * warning line and installs nothing. Call it once, on the main thread, before texts
 * are shown.
 */
QVCORE_EXPORT void installTranslators();
/**
 * The same with defaultLanguage for when settings.ini names none: the service tools
 * speak English ("en") unless the working directory chooses otherwise.
 */
QVCORE_EXPORT void installTranslators(const QString &defaultLanguage);

/**
 * What replaces the library's message boxes: it receives what the box would show and
 * returns the button taken as pressed. Every message box of the library goes through
 * showMessageBox(); with a handler installed no box is shown. Tests and headless
 * programs use this. The handler is called on the thread that asked for the box.
 */
using MessageBoxHandler = std::function<QMessageBox::StandardButton(
    QMessageBox::Icon icon, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)>;

/**
 * Installs handler (an empty one restores the real boxes) and returns the one it
 * replaces, so that scoped handlers can nest. Safe from any thread.
 */
QVCORE_EXPORT MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);
/// The handler installed, or an empty one. Safe from any thread.
QVCORE_EXPORT MessageBoxHandler messageBoxHandler();

/**
 * The routine behind every message box of the library. With a handler installed
 * (setMessageBoxHandler()), returns what the handler returns. Otherwise shows a modal
 * QMessageBox titled with the application's name, parented on topLevelWidget(), with
 * defaultButton as its default unless that is NoButton, and returns the button
 * pressed; blocks until then. A box asked for outside the GUI thread, or without a
 * QApplication, cannot be shown: the text is written as a warning line (category
 * qv.common) and NoButton is returned.
 */
QVCORE_EXPORT QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, const QString &text,
                                                         QMessageBox::StandardButtons buttons,
                                                         QMessageBox::StandardButton defaultButton);

/// An information box through showMessageBox(); defaultButton NoButton leaves the box without a default button.
QVCORE_EXPORT QMessageBox::StandardButton information(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A question box (Yes and No by default) through showMessageBox().
QVCORE_EXPORT QMessageBox::StandardButton question(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No),
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A warning box through showMessageBox().
QVCORE_EXPORT QMessageBox::StandardButton warning(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A critical box through showMessageBox().
QVCORE_EXPORT QMessageBox::StandardButton critical(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

/**
 * The window to parent a dialog on: the active modal widget's window, else the active
 * window, else null. Null too outside the GUI thread and without a QApplication.
 */
QVCORE_EXPORT QWidget *topLevelWidget();

/**
 * Sets an application override cursor for its lifetime. Acts only on the GUI thread of
 * a QGuiApplication and does nothing elsewhere, so worker code may make one safely;
 * nested ones restore in reverse.
 */
class QVCORE_EXPORT WaitCursor
{
public:
    /// Sets shape as the override cursor (on the GUI thread).
    explicit WaitCursor(Qt::CursorShape shape = Qt::WaitCursor);
    /// Restores the cursor it replaced.
    ~WaitCursor();

private:
    Q_DISABLE_COPY(WaitCursor)
    bool m_active;
};

/// Sets a flag for its lifetime and writes the earlier value back when it ends.
class QVCORE_EXPORT BoolLocker
{
public:
    /// Saves flag's value and sets it to value; flag must outlive the locker.
    BoolLocker(bool &flag, bool value) : m_flag(flag), m_saved(flag) { m_flag = value; }
    /// Writes the saved value back.
    ~BoolLocker() { m_flag = m_saved; }

private:
    Q_DISABLE_COPY(BoolLocker)
    bool &m_flag;
    const bool m_saved;
};

/**
 * Blocks the calling thread for the given time without processing events. A negative
 * time is taken as zero.
 */
QVCORE_EXPORT void sleep(int milliseconds);

// ---------------------------------------------------------------------------
// Volume, dilution and number text
// ---------------------------------------------------------------------------

/**
 * A volume in microlitres as display text: "%1 uL" up to 1000 uL, "%1 mL" up to
 * 1000000 uL, "%1 L" above, mL and L with 4 significant digits. Safe from any thread.
 */
QVCORE_EXPORT QString humanReadableVolume(int volume);

/**
 * The value of the first ratio written in text, such as "1/8" or "-2.5 : 10" (signs
 * and decimals on both sides; surrounding text is ignored). Without one it returns 0.0
 * and sets *ok, when given, to false. A zero divisor gives the floating-point quotient
 * (infinity or NaN) with *ok true. Safe from any thread.
 */
QVCORE_EXPORT double fraction(const QString &text, bool *ok = nullptr);

/**
 * A typed dilution reduced to "numerator/denominator", both unsigned non-zero integers
 * kept as typed (leading zeros stay), separated by '/' or ':' with optional white
 * space; a null string for anything else. Safe from any thread.
 */
QVCORE_EXPORT QString normalizedDilution(const QString &text);

/// The dilutions offered for selection, in display order ("1/1", "1/2", ... "4/5").
QVCORE_EXPORT QStringList dilutionList();

// ---------------------------------------------------------------------------
// Sample numbering and prefixes
// ---------------------------------------------------------------------------

namespace qv {

enum SampleType : int {
    Routine = 0,       // an ordinary patient sample, no prefix
    Statim = 1,        // an emergency sample, prefix the setting "statim_sample_prefix"
    QualityControl = 2 // a quality-control sample, prefix the setting "qc_sample_prefix"
};

} // namespace qv

// One more than the greatest sample number stored for the day, 1 for a day
// without samples. Reads the table "patient" of Profile::dataDatabase(): its
// text column "sampleNo" is compared as an integer (leading zeros and text
// forms compare numerically, a non-numeric or negative number counts as 0),
// and its column "date" holds the day as the SQLite driver binds a QDate, ISO
// text "yyyy-MM-dd". On any failure (a database error, a greatest number
// with no successor within int) it writes a warning line and returns 0, which
// is never a sample number, and sets *ok, when given, to false. Uses the
// profile's connection, so it belongs to the main thread.
//
// It only reads, and takes nothing: another station sharing the data
// database, or this one between this call and its insert, may store the same
// number first, so two samples can get one number. To give a sample its
// number, use takeSampleNo(), which takes and records it in one step.
QVCORE_EXPORT int nextSampleNo(const QDate &date, bool *ok = nullptr);

/**
 * Takes the next sample number of a day and records it: inserts the row
 * `patient` into the table "patient" of Profile::dataDatabase() with
 * "sampleNo" set to the number's text and "date" to the day, both in one
 * immediate transaction, so that no other station or thread sharing the data
 * database can take the same number through this call. The number is the one
 * nextSampleNo() gives within that transaction.
 *
 * @param date the day the number is counted in
 * @param patient the other columns of the row, as from
 *        dataDatabase().record("patient"): fields marked generated are
 *        written, others are left to their defaults; empty: only the number and
 *        the day. Its "sampleNo" and "date" are replaced.
 * @param rowId when given, set to the inserted row's rowid (-1 on failure)
 * @return the number taken, or 0 on failure, when nothing was inserted and a
 *         warning line gives the database's reason: the table or a column is
 *         missing, the connection already has a transaction open, the database
 *         stayed busy beyond its busy time-out, or the day has no next number
 *         within int.
 *
 * Main thread (the profile's connections belong to it). Blocks while another
 * connection holds the data database's write lock, for at most that
 * connection's busy time-out (30 s).
 */
QVCORE_EXPORT int takeSampleNo(const QDate &date, const QSqlRecord &patient, qint64 *rowId = nullptr);

// The prefix of a sample type, read from the profile (the setting's declared
// default while none is stored); empty for Routine and for any value not listed.
QVCORE_EXPORT QString samplePrefix(qv::SampleType type);

/**
 * Sets the field's value and marks it generated, so that an insert or update through
 * the record writes it. A field the record lacks leaves the record unchanged.
 */
QVCORE_EXPORT void setGeneratedValue(QSqlRecord &record, const QString &field, const QVariant &value);

// ---------------------------------------------------------------------------
// Script evaluation
// ---------------------------------------------------------------------------

/**
 * Evaluates an ECMAScript program on a fresh engine and returns its value as a variant
 * (undefined, as for an empty text, gives an invalid variant). Nothing is reported: a
 * script error gives the conversion of the error value. Blocks for the script's run;
 * safe from any thread, as every call has its own engine.
 *
 * The engine is QtScript's with Qt 5 and QJSEngine with Qt 6. Values convert the same
 * with both: numbers within int as int and others as double, strings, bools, dates as
 * QDateTime, arrays as QVariantList, objects as QVariantMap, null and undefined as an
 * invalid variant (also inside arrays and objects), an error as a map holding at least
 * its "message", "fileName" and "lineNumber". They differ in:
 * - the texts of errors, which are each engine's own (a syntax error reads
 *   "SyntaxError: Parse error" with Qt 5, "SyntaxError: Expected token ..." with Qt 6);
 * - a script file's name as scripts see it (an error's fileName): the path with Qt 5,
 *   its URL (file:///...) with Qt 6;
 * - values with no plain form: a regular expression converts to QRegExp with Qt 5 and
 *   to QRegularExpression with Qt 6, a function to a map with Qt 5 and to a QJSValue
 *   with Qt 6.
 */
QVCORE_EXPORT QVariant eval(const QString &program);

/**
 * Evaluates a UTF-8 script file on a fresh engine, named after the file for its
 * messages, and returns its value as eval() does. A script that fails (a syntax error,
 * an uncaught exception) is shown in a critical message box (critical()) and gives an
 * invalid variant. A file that cannot be read evaluates as empty text: an invalid
 * variant, no message. Shows a box, so it belongs to the GUI thread; elsewhere the
 * failure is a warning line.
 */
QVCORE_EXPORT QVariant load_script(const QString &fileName);

#endif // QVGLOBAL_H
