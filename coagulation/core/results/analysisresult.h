#ifndef ANALYSISRESULT_H
#define ANALYSISRESULT_H

#include <QtCore/QString>
#include <QtCore/QVariant>

#include "clotcurve.h"
#include "qvcore_global.h"
#include "resultflag.h"

/**
 * \file analysisresult.h
 * \brief One test result and its text forms (AnalysisResult).
 */

/**
 * One test result: a number, a number known only to lie beyond a limit, or the reason
 * why there is none; with its markers (qv::ResultFlag), optical density, clotting
 * curve, channel and database identifiers.
 *
 * Implicitly shared: copies share one payload, the first write detaches, reads never
 * do, and a default-constructed result shares a static empty payload without
 * allocating. Reentrant: a copy may be handed to another thread.
 *
 * The text forms (toString(), the constructor from text, prefix(), suffix(),
 * errorText(), foregroundRole()) read the current markers, texts and colours from
 * Profile::instance() at every call, so a changed setting shows at the next call; that
 * read is safe from any thread. errorText() is Chinese until installTranslators()
 * installs another language.
 */
class QVCORE_EXPORT AnalysisResult
{
public:
    /**
     * What the result is. The numbering carries the classification: below ValidNumber
     * there is no usable number (NotClotted included, although its value is 999.9). A
     * code outside the list is carried as the int it is.
     */
    enum ErrorCode : int {
        NullResult = 0,                  ///< No result yet (the value 0.0).
        InvalidValue = 1,                ///< The value is no number (a NaN or an infinity, kept in value()).
        UnknownError = 2,                ///< Failed for the reason errorText() gives.
        NoStandardCurve = 3,             ///< The test has no standard curve.
        InvalidStandardCurve = 4,        ///< The standard curve is invalid.
        StandardCurveSettingError = 5,   ///< The standard curve's settings are wrong.
        InvalidCalculationMethod = 6,    ///< The calculation method is invalid.
        MissingCalculationParameter = 7, ///< A parameter the calculation needs is missing.
        NotClotted = 8,                  ///< The sample did not clot (the value 999.9).
        ValidNumber = 9,                 ///< value() is the result.
        BelowLimit = 10,                 ///< The true result is below value(), the lower report limit.
        AboveLimit = 11                  ///< The true result is above value(), the upper report limit.
    };

    /// What toString() shows.
    enum Format : int {
        DisplayFormat = 0,  ///< Every marker and the suffix.
        ValueFormat = 1     ///< Only the report-limit marker and the number.
    };

    /// The value of a NullResult.
    static constexpr double nullValue = 0.0;
    /// The optical density that stands for none.
    static constexpr double invalidOD = 0.0;
    /// The value of a NotClotted result.
    static constexpr double notClottedValue = 999.9;

    /// A NullResult, sharing the static empty payload.
    AnalysisResult();
    /// A result of value, classified as setValue(double) does.
    AnalysisResult(double value);
    /// A result of code error with the value 0.0.
    AnalysisResult(ErrorCode error);
    /// A result stored as given, without classification.
    AnalysisResult(ErrorCode error, double value);
    /**
     * Parses a display text as toString() writes it, with the current marker texts of
     * the profile: prefix markers, a number (with a decimal point whatever the locale) or
     * the not-clotted text, then suffix markers, white space allowed between them. The markers found
     * set their flags; a report-limit marker makes the result BelowLimit or AboveLimit.
     * The number is stored as read ("0" is a valid 0.0). A text that does not parse gives
     * a NullResult (with the markers' flags when only the number was out of range).
     */
    explicit AnalysisResult(const QString &text);
    /// A copy sharing other's payload.
    AnalysisResult(const AnalysisResult &other);
    /// Takes other's payload; other becomes a NullResult.
    AnalysisResult(AnalysisResult &&other) noexcept;
    /// Shares other's payload.
    AnalysisResult &operator=(const AnalysisResult &other);
    /// Swaps payloads with other.
    AnalysisResult &operator=(AnalysisResult &&other) noexcept;
    /// Releases the payload.
    ~AnalysisResult();

    /// Swaps payloads with other; never fails.
    void swap(AnalysisResult &other) noexcept { qSwap(d, other.d); }

    /// The same as AnalysisResult(text).
    static AnalysisResult fromString(const QString &text);

    /// Whether x counts as no value: below 2^-52 in magnitude.
    static bool isNullValue(double x);
    /// Whether x counts as no optical density: below 2^-52 in magnitude.
    static bool isInvalidODValue(double x);
    /// Whether x counts as not clotted: within 0.001 of 999.9.
    static bool isNotClottedValue(double x);
    /// AboveLimit if flags holds 0x8 (qv::UpperReportLimit), else BelowLimit if it holds 0x4, else ValidNumber.
    static ErrorCode errorCode(int flags);
    /// AboveLimit for BelowLimit and the reverse; any other code unchanged.
    static ErrorCode opposite(ErrorCode error);
    /// The report-limit flag of BelowLimit or AboveLimit; no flag for any other code.
    static qv::ResultFlags errorFlags(ErrorCode error);

    /**
     * The number; the limit for BelowLimit and AboveLimit. A result without a number keeps
     * what was set: 999.9 for NotClotted, the NaN or infinity of InvalidValue.
     */
    double value() const;
    /// The optical density.
    double od() const;
    /// The application's identifier of the result.
    int id() const;
    /// The markers, qv::ResultFlag values and any bits of the application's own.
    int flags() const;
    /// The measuring channel.
    int ch() const;
    /// The version of the result.
    int version() const;
    /// What the result is.
    ErrorCode error() const;
    /// The row of the result in the data database.
    qint64 recordId() const;
    /// The row of the result in the quality-control database.
    qint64 qcRecordId() const;
    /// The clotting curve (shared, not copied).
    ClotCurve curve() const;
    /// The report-limit flag of error(), as errorFlags(ErrorCode) gives it.
    qv::ResultFlags errorFlags() const { return errorFlags(error()); }
    /// Whether flags() holds flag.
    bool testFlag(qv::ResultFlag flag) const { return (flags() & flag) != 0; }
    /// Whether the test was run by hand (qv::ManualTest).
    bool isManualTest() const { return testFlag(qv::ManualTest); }

    /// Whether the result is a NullResult.
    bool isNull() const { return error() == NullResult; }
    /// Whether the result is exactly a number (ValidNumber), not a limit.
    bool isValidNumber() const { return error() == ValidNumber; }
    /// Whether the result has a number: ValidNumber, BelowLimit or AboveLimit.
    bool isValid() const { return error() >= ValidNumber; }
    /// Whether both results share one payload.
    bool isCopyOf(const AnalysisResult &other) const { return d == other.d; }

    /**
     * Sets the value and classifies it: below 2^-52 in magnitude NullResult with 0.0;
     * within 0.001 of 999.9 NotClotted with 999.9; a NaN or an infinity InvalidValue,
     * the value kept; else ValidNumber. Flags and the error text stay.
     */
    void setValue(double value);
    /// Sets code and value as given, without classification.
    void setValue(ErrorCode error, double value);
    /// Sets the code and clears the error text; the value stays.
    void setError(ErrorCode error);
    /// Makes the result UnknownError with this message, which errorText() then gives.
    void setErrorText(const QString &text);
    /// Clears the error text; the code stays.
    void clearErrorText();
    /// Replaces the markers; the code stays (see flagsToError()).
    void setFlags(int flags);
    /// Sets or clears one marker.
    void setFlag(qv::ResultFlag flag, bool on = true);
    /// Sets or clears qv::ManualTest.
    void setManualTest(bool on = true);
    /**
     * Turns a result with a number into the limit form its report-limit flags call for
     * (0x8 wins over 0x4), or back into ValidNumber, and clears the error text; a result
     * without a number stays as it is.
     */
    void flagsToError();
    /// Sets the application's identifier.
    void setId(int id);
    /// Sets the optical density.
    void setOD(double od);
    /// Sets the measuring channel.
    void setCh(int ch);
    /// Sets the version.
    void setVersion(int version);
    /// Sets the row in the data database.
    void setRecordId(qint64 id);
    /// Sets the row in the quality-control database.
    void setQcRecordId(qint64 id);
    /// Sets the clotting curve.
    void setCurve(const ClotCurve &curve);

    /// An invalid variant without a number; the bare value (the limit for BelowLimit and AboveLimit) otherwise.
    QVariant toVariant() const;

    /**
     * Equal codes, and below ValidNumber nothing more; with a number, equal values too
     * (NaN never equals). Flags and the rest never count.
     */
    bool operator==(const AnalysisResult &other) const;

    /**
     * The prefix markers of the flags in mask, as the profile's marker texts: manual
     * input, dilution, replicates differ, then one report-limit marker (lower wins).
     * Empty when none is set.
     */
    QString prefix(int mask = -1) const;
    /// The reference-limit marker (lower wins), empty when neither is set.
    QString suffix() const;
    /**
     * The result as text. With a number: prefix, number (QString::number() with fmt
     * and prec; a negative precision means 'g' with 6 digits whatever fmt is) and, in
     * DisplayFormat, the suffix, separated by spaces. Without one: the profile's
     * not-clotted text for NotClotted, an empty text for NullResult, the profile's
     * "cannot be calculated" text for the others.
     */
    QString toString(Format format = DisplayFormat, char fmt = 'g', int prec = 6) const;
    /// The custom error text, else the standard message of codes 0 to 7, else a null string.
    QString errorText() const;
    /**
     * A QBrush for the foreground role of item views: the profile's colour for a result
     * without a number. For one with a number, the colour of the first flag set of upper
     * report, lower report, upper mark, lower mark; an invalid variant when none is set
     * or qv::NoForegroundColor is.
     */
    QVariant foregroundRole() const;

private:
    struct Data;
    void detach();

    Data *d;
    static Data shared_null;
};

Q_DECLARE_SHARED(AnalysisResult)
Q_DECLARE_METATYPE(AnalysisResult)

/**
 * \name Comparing a result with a number
 * A result with a number compares by its value; a BelowLimit result stands for the
 * half-line below its value and an AboveLimit result for the half-line above it, so
 * `result < x` holds for BelowLimit when value() <= x. A result without a number
 * compares false both ways, as a NaN value does. <= and >= are the negations of > and <.
 * @{
 */
/// Whether the result lies below x.
QVCORE_EXPORT bool operator<(const AnalysisResult &result, double x);
/// Whether the result lies above x.
QVCORE_EXPORT bool operator>(const AnalysisResult &result, double x);
/// The negation of result > x (true for a result without a number).
QVCORE_EXPORT bool operator<=(const AnalysisResult &result, double x);
/// The negation of result < x (true for a result without a number).
QVCORE_EXPORT bool operator>=(const AnalysisResult &result, double x);
/// Whether x lies below the result.
QVCORE_EXPORT bool operator<(double x, const AnalysisResult &result);
/// Whether x lies above the result.
QVCORE_EXPORT bool operator>(double x, const AnalysisResult &result);
/** @} */

#endif // ANALYSISRESULT_H
