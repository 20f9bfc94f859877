#ifndef ANALYSISRESULT_H
#define ANALYSISRESULT_H

#include <QtCore/QString>
#include <QtCore/QVariant>

#include "clotcurve.h"
#include "qvcore_global.h"
#include "resultflag.h"

// One test result: a number, a number known only to lie beyond a limit, or the
// reason why there is none; with its markers, optical density, clotting curve,
// channel and database identifiers. Implicitly shared: copies share one
// payload, the first write detaches, reads never do, and a default-constructed
// result shares a static empty payload without allocating.
class QVCORE_EXPORT AnalysisResult
{
public:
    // The numbering carries the classification: below ValidNumber there is no
    // usable number (NotClotted included, although its value is 999.9). A code
    // outside the list is carried as the int it is.
    enum ErrorCode : int {
        NullResult = 0,
        InvalidValue = 1,
        UnknownError = 2,
        NoStandardCurve = 3,
        InvalidStandardCurve = 4,
        StandardCurveSettingError = 5,
        InvalidCalculationMethod = 6,
        MissingCalculationParameter = 7,
        NotClotted = 8,
        ValidNumber = 9,
        BelowLimit = 10,  // the true result is below value()
        AboveLimit = 11   // the true result is above value()
    };

    enum Format : int {
        DisplayFormat = 0,  // every marker and the suffix
        ValueFormat = 1     // only the report-limit marker and the number
    };

    static constexpr double nullValue = 0.0;
    static constexpr double invalidOD = 0.0;
    static constexpr double notClottedValue = 999.9;

    AnalysisResult();
    // Classified as setValue(double) does.
    AnalysisResult(double value);
    AnalysisResult(ErrorCode error);
    // Stored as given, without classification.
    AnalysisResult(ErrorCode error, double value);
    // Parses a display text with the current marker settings.
    explicit AnalysisResult(const QString &text);
    AnalysisResult(const AnalysisResult &other);
    AnalysisResult(AnalysisResult &&other) noexcept;
    AnalysisResult &operator=(const AnalysisResult &other);
    AnalysisResult &operator=(AnalysisResult &&other) noexcept;
    ~AnalysisResult();

    void swap(AnalysisResult &other) noexcept { qSwap(d, other.d); }

    static AnalysisResult fromString(const QString &text);

    static bool isNullValue(double x);
    static bool isInvalidODValue(double x);
    static bool isNotClottedValue(double x);
    // AboveLimit if 0x8 is set, else BelowLimit if 0x4 is set, else ValidNumber.
    static ErrorCode errorCode(int flags);
    static ErrorCode opposite(ErrorCode error);
    static qv::ResultFlags errorFlags(ErrorCode error);

    double value() const;
    double od() const;
    int id() const;
    int flags() const;
    int ch() const;
    int version() const;
    ErrorCode error() const;
    qint64 recordId() const;
    qint64 qcRecordId() const;
    ClotCurve curve() const;
    qv::ResultFlags errorFlags() const { return errorFlags(error()); }
    bool testFlag(qv::ResultFlag flag) const { return (flags() & flag) != 0; }
    bool isManualTest() const { return testFlag(qv::ManualTest); }

    bool isNull() const { return error() == NullResult; }
    bool isValidNumber() const { return error() == ValidNumber; }
    bool isValid() const { return error() >= ValidNumber; }
    bool isCopyOf(const AnalysisResult &other) const { return d == other.d; }

    // Below 2^-52 in magnitude: NullResult with 0.0; within 0.001 of 999.9:
    // NotClotted with 999.9; a NaN or an infinity: InvalidValue, value kept;
    // else ValidNumber. Flags and the error text stay.
    void setValue(double value);
    void setValue(ErrorCode error, double value);
    // Clears the error text; the value stays.
    void setError(ErrorCode error);
    // Makes the result UnknownError with this message.
    void setErrorText(const QString &text);
    void clearErrorText();
    void setFlags(int flags);
    void setFlag(qv::ResultFlag flag, bool on = true);
    void setManualTest(bool on = true);
    // Turns a result with a number into the limit form its report-limit flags
    // call for (0x8 wins over 0x4), or back into ValidNumber; others stay.
    void flagsToError();
    void setId(int id);
    void setOD(double od);
    void setCh(int ch);
    void setVersion(int version);
    void setRecordId(qint64 id);
    void setQcRecordId(qint64 id);
    void setCurve(const ClotCurve &curve);

    // Invalid without a number; the bare value (the limit for BelowLimit and
    // AboveLimit) otherwise.
    QVariant toVariant() const;

    // Equal codes, and below ValidNumber nothing more; with a number, equal
    // values too (NaN never equals). Flags and the rest never count.
    bool operator==(const AnalysisResult &other) const;

    // Text forms; every call reads the current marker, placeholder and colour
    // settings of the profile.
    QString prefix(int mask = -1) const;
    QString suffix() const;
    // A negative precision means 'g' with 6 digits whatever fmt is.
    QString toString(Format format = DisplayFormat, char fmt = 'g', int prec = 6) const;
    // The custom error text, else the standard message of codes 0 to 7, else null.
    QString errorText() const;
    // A QBrush for the foreground role of item views, or an invalid variant.
    QVariant foregroundRole() const;

private:
    struct Data;
    void detach();

    Data *d;
    static Data shared_null;
};

Q_DECLARE_SHARED(AnalysisResult)
Q_DECLARE_METATYPE(AnalysisResult)

// A result compared with a number; the limit results stand for the half-lines
// below and above their value. <= and >= are the negations of > and <.
QVCORE_EXPORT bool operator<(const AnalysisResult &result, double x);
QVCORE_EXPORT bool operator>(const AnalysisResult &result, double x);
QVCORE_EXPORT bool operator<=(const AnalysisResult &result, double x);
QVCORE_EXPORT bool operator>=(const AnalysisResult &result, double x);
QVCORE_EXPORT bool operator<(double x, const AnalysisResult &result);
QVCORE_EXPORT bool operator>(double x, const AnalysisResult &result);

#endif // ANALYSISRESULT_H
