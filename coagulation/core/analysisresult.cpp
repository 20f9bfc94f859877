#include "analysisresult.h"
#include "analysisresult_p.h"

#include <QtCore/QtMath>

#include <limits>

// Its own reference keeps the count above 1 while any result points at it, so
// it is never written and never freed.
AnalysisResult::Data AnalysisResult::shared_null;

namespace {
const double machineEpsilon = std::numeric_limits<double>::epsilon();  // 2^-52
const double notClottedTolerance = 0.001;
}

AnalysisResult::AnalysisResult() : d(&shared_null)
{
    d->ref.ref();
}

AnalysisResult::AnalysisResult(double value) : d(new Data(shared_null))
{
    setValue(value);
}

AnalysisResult::AnalysisResult(ErrorCode error) : d(new Data(shared_null))
{
    d->error = error;
}

AnalysisResult::AnalysisResult(ErrorCode error, double value) : d(new Data(shared_null))
{
    d->error = error;
    d->value = value;
}

AnalysisResult::AnalysisResult(const AnalysisResult &other) : d(other.d)
{
    d->ref.ref();
}

AnalysisResult::AnalysisResult(AnalysisResult &&other) noexcept : d(other.d)
{
    other.d = &shared_null;
    shared_null.ref.ref();
}

AnalysisResult &AnalysisResult::operator=(const AnalysisResult &other)
{
    // Raise first, then release: self-assignment stays safe.
    other.d->ref.ref();
    if (!d->ref.deref())
        delete d;
    d = other.d;
    return *this;
}

AnalysisResult &AnalysisResult::operator=(AnalysisResult &&other) noexcept
{
    swap(other);
    return *this;
}

AnalysisResult::~AnalysisResult()
{
    if (!d->ref.deref())
        delete d;
}

void AnalysisResult::detach()
{
    if (d->ref.loadRelaxed() == 1)
        return;
    Data *copy = new Data(*d);
    // The old payload was shared, so somebody else still holds it.
    d->ref.deref();
    d = copy;
}

bool AnalysisResult::isNullValue(double x)
{
    return qAbs(x) < machineEpsilon;
}

bool AnalysisResult::isInvalidODValue(double x)
{
    return qAbs(x) < machineEpsilon;
}

bool AnalysisResult::isNotClottedValue(double x)
{
    return qAbs(x - notClottedValue) < notClottedTolerance;
}

AnalysisResult::ErrorCode AnalysisResult::errorCode(int flags)
{
    if (flags & qv::UpperReportLimit)
        return AboveLimit;
    if (flags & qv::LowerReportLimit)
        return BelowLimit;
    return ValidNumber;
}

AnalysisResult::ErrorCode AnalysisResult::opposite(ErrorCode error)
{
    switch (error) {
    case BelowLimit:
        return AboveLimit;
    case AboveLimit:
        return BelowLimit;
    default:
        return error;
    }
}

qv::ResultFlags AnalysisResult::errorFlags(ErrorCode error)
{
    switch (error) {
    case BelowLimit:
        return qv::LowerReportLimit;
    case AboveLimit:
        return qv::UpperReportLimit;
    default:
        return qv::ResultFlags();
    }
}

double AnalysisResult::value() const { return d->value; }
double AnalysisResult::od() const { return d->od; }
int AnalysisResult::id() const { return d->id; }
int AnalysisResult::flags() const { return d->flags; }
int AnalysisResult::ch() const { return d->ch; }
int AnalysisResult::version() const { return d->version; }
AnalysisResult::ErrorCode AnalysisResult::error() const { return ErrorCode(d->error); }
qint64 AnalysisResult::recordId() const { return d->recordId; }
qint64 AnalysisResult::qcRecordId() const { return d->qcRecordId; }
ClotCurve AnalysisResult::curve() const { return d->curve; }

void AnalysisResult::setValue(double value)
{
    detach();
    if (!qIsFinite(value)) {
        // A NaN or an infinity (a division by zero upstream) is no number to
        // show or compare; the value is kept for diagnosis.
        d->value = value;
        d->error = InvalidValue;
    } else if (isNullValue(value)) {
        d->value = nullValue;
        d->error = NullResult;
    } else if (isNotClottedValue(value)) {
        d->value = notClottedValue;
        d->error = NotClotted;
    } else {
        d->value = value;
        d->error = ValidNumber;
    }
}

void AnalysisResult::setValue(ErrorCode error, double value)
{
    detach();
    d->error = error;
    d->value = value;
}

void AnalysisResult::setError(ErrorCode error)
{
    detach();
    d->error = error;
    d->errorText.clear();
}

void AnalysisResult::setErrorText(const QString &text)
{
    detach();
    d->errorText = text;
    d->error = UnknownError;
}

void AnalysisResult::clearErrorText()
{
    detach();
    d->errorText.clear();
}

void AnalysisResult::setFlags(int flags)
{
    detach();
    d->flags = flags;
}

void AnalysisResult::setFlag(qv::ResultFlag flag, bool on)
{
    detach();
    d->flags = on ? (d->flags | flag) : (d->flags & ~int(flag));
}

void AnalysisResult::setManualTest(bool on)
{
    setFlag(qv::ManualTest, on);
}

void AnalysisResult::flagsToError()
{
    if (d->error < ValidNumber)
        return;
    detach();
    d->error = errorCode(d->flags);
    d->errorText.clear();
}

void AnalysisResult::setId(int id)
{
    detach();
    d->id = id;
}

void AnalysisResult::setOD(double od)
{
    detach();
    d->od = od;
}

void AnalysisResult::setCh(int ch)
{
    detach();
    d->ch = ch;
}

void AnalysisResult::setVersion(int version)
{
    detach();
    d->version = version;
}

void AnalysisResult::setRecordId(qint64 id)
{
    detach();
    d->recordId = id;
}

void AnalysisResult::setQcRecordId(qint64 id)
{
    detach();
    d->qcRecordId = id;
}

void AnalysisResult::setCurve(const ClotCurve &curve)
{
    detach();
    d->curve = curve;
}

QVariant AnalysisResult::toVariant() const
{
    return d->error < ValidNumber ? QVariant() : QVariant(d->value);
}

bool AnalysisResult::operator==(const AnalysisResult &other) const
{
    if (d == other.d)
        return true;
    if (d->error != other.d->error)
        return false;
    if (d->error < ValidNumber)
        return true;
    return d->value == other.d->value;
}

// Each comparison of the value with x is an ordered IEEE comparison, false
// when either side is NaN. Only the three codes with a number compare.
bool operator<(const AnalysisResult &result, double x)
{
    const double v = result.value();
    switch (result.error()) {
    case AnalysisResult::BelowLimit:
        return v <= x;
    case AnalysisResult::AboveLimit:
        return false;
    case AnalysisResult::ValidNumber:
        return v < x;
    default:
        return false;
    }
}

bool operator>(const AnalysisResult &result, double x)
{
    const double v = result.value();
    switch (result.error()) {
    case AnalysisResult::BelowLimit:
        return false;
    case AnalysisResult::AboveLimit:
        return v >= x;
    case AnalysisResult::ValidNumber:
        return v > x;
    default:
        return false;
    }
}

bool operator<(double x, const AnalysisResult &result)
{
    const double v = result.value();
    switch (result.error()) {
    case AnalysisResult::BelowLimit:
        return false;
    case AnalysisResult::AboveLimit:
        return x <= v;
    case AnalysisResult::ValidNumber:
        return x < v;
    default:
        return false;
    }
}

bool operator>(double x, const AnalysisResult &result)
{
    const double v = result.value();
    switch (result.error()) {
    case AnalysisResult::BelowLimit:
        return x >= v;
    case AnalysisResult::AboveLimit:
        return false;
    case AnalysisResult::ValidNumber:
        return x > v;
    default:
        return false;
    }
}

bool operator<=(const AnalysisResult &result, double x)
{
    return !(result > x);
}

bool operator>=(const AnalysisResult &result, double x)
{
    return !(result < x);
}
