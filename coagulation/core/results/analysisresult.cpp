#include "analysisresult.h"
#include "analysisresult_p.h"

#include <QtCore/QPair>
#include <QtCore/QRegularExpression>
#include <QtCore/QStringList>
#include <QtCore/QVector>
#include <QtCore/QtMath>
#include <QtGui/QBrush>
#include <QtGui/QColor>

#include "profile.h"

#include <algorithm>
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

// ---- Text forms -----------------------------------------------------------
// Marker, placeholder and colour texts are read from the profile at every call,
// so a changed setting shows at the next one.

namespace {

struct Markers
{
    QString manualInput;
    QString dilution;
    QString replicationDiff;
    QString lowerReport;
    QString upperReport;
    QString lowerMark;
    QString upperMark;
};

Markers currentMarkers(Profile &p)
{
    return Markers{p.manual_input_flag(), p.dilution_result_flag(), p.replication_diff_flag(),
                   p.lower_report_limit_flag(), p.upper_report_limit_flag(), p.lower_mark_limit_flag(),
                   p.upper_mark_limit_flag()};
}

// The texts that are not empty, escaped, joined with "|", longest first: a marker text
// that begins another ("*" and "**") is then read whole, as parsing always has.
QString alternation(std::initializer_list<QString> texts)
{
    QStringList parts;
    for (const QString &t : texts)
        if (!t.isEmpty())
            parts << t;
    std::stable_sort(parts.begin(), parts.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (QString &part : parts)
        part = QRegularExpression::escape(part);
    return parts.join(QLatin1Char('|'));
}

const char numberGrammar[] = "[+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?";

// \d and \s with their Unicode meaning, as in Qt's classic regular expressions.
const QRegularExpression::PatternOptions MarkerPatternOptions = QRegularExpression::UseUnicodePropertiesOption;

// The compiled patterns for the marker texts this thread parsed with last.
// Each thread keeps its own, so no lock is needed, and a parse that reads other
// marker texts compiles anew, so a changed setting shows at once.
struct Patterns
{
    Markers markers;
    QString notClotted;
    bool compiled = false;
    bool hasPrefixes = false;
    bool hasSuffixes = false;
    QRegularExpression whole, prefix, suffix;
};

bool operator==(const Markers &a, const Markers &b)
{
    return a.manualInput == b.manualInput && a.dilution == b.dilution && a.replicationDiff == b.replicationDiff
           && a.lowerReport == b.lowerReport && a.upperReport == b.upperReport && a.lowerMark == b.lowerMark
           && a.upperMark == b.upperMark;
}

Patterns &patternsFor(const Markers &m, const QString &notClotted)
{
    thread_local Patterns cached;
    if (cached.compiled && cached.markers == m && cached.notClotted == notClotted)
        return cached;

    const QString prefixes = alternation({m.manualInput, m.dilution, m.lowerReport, m.upperReport, m.replicationDiff});
    QString number = QLatin1String(numberGrammar);
    if (!notClotted.isEmpty())
        number += QLatin1Char('|') + QRegularExpression::escape(notClotted);
    const QString suffixes = alternation({m.lowerMark, m.upperMark});
    cached.markers = m;
    cached.notClotted = notClotted;
    cached.compiled = true;
    cached.hasPrefixes = !prefixes.isEmpty();
    cached.hasSuffixes = !suffixes.isEmpty();
    // \z, not $: a text ending in a line break must not match before it.
    cached.whole = QRegularExpression(QLatin1String("^\\s*((?:") + prefixes + QLatin1String(")*)\\s*(") + number
                                          + QLatin1String(")\\s*((?:") + suffixes + QLatin1String(")*)\\s*\\z"),
                                      MarkerPatternOptions);
    cached.prefix = QRegularExpression(prefixes, MarkerPatternOptions);
    cached.suffix = QRegularExpression(suffixes, MarkerPatternOptions);
    return cached;
}

// ORs in, for every marker found in `text`, the bit of the first marker text
// it equals.
int scanMarkers(const QRegularExpression &rx, const QString &text, const QVector<QPair<QString, int>> &bits)
{
    int flags = 0;
    qsizetype pos = 0;
    QRegularExpressionMatch match;
    while ((match = rx.match(text, pos)).hasMatch()) {
        const QString t = match.captured(0);
        if (t.isEmpty())
            break;
        pos = match.capturedStart(0);
        for (const auto &bit : bits) {
            if (t == bit.first) {
                flags |= bit.second;
                break;
            }
        }
        pos += t.length();
    }
    return flags;
}

QVariant solidBrush(const QColor &color)
{
    return QVariant::fromValue(QBrush(color, Qt::SolidPattern));
}

} // namespace

AnalysisResult::AnalysisResult(const QString &text) : d(&shared_null)
{
    d->ref.ref();

    Profile &profile = Profile::instance();
    const Markers m = currentMarkers(profile);
    const QString notClotted = profile.result_not_clotted();
    Patterns &rx = patternsFor(m, notClotted);

    const QRegularExpressionMatch whole = rx.whole.match(text);
    if (!whole.hasMatch())
        return;
    const QString prefixText = whole.captured(1);
    const QString numberText = whole.captured(2);
    const QString suffixText = whole.captured(3);

    int f = 0;
    if (rx.hasPrefixes && !prefixText.isEmpty())
        f |= scanMarkers(rx.prefix, prefixText,
                         {{m.manualInput, qv::ManualInput}, {m.dilution, qv::DilutionResult},
                          {m.lowerReport, qv::LowerReportLimit}, {m.upperReport, qv::UpperReportLimit},
                          {m.replicationDiff, qv::ReplicationDiff}});
    if (rx.hasSuffixes && !suffixText.isEmpty())
        f |= scanMarkers(rx.suffix, suffixText, {{m.lowerMark, qv::LowerMarkLimit}, {m.upperMark, qv::UpperMarkLimit}});
    if (f != 0)
        setFlags(f);

    if (numberText == notClotted) {
        setValue(NotClotted, notClottedValue);
        return;
    }
    bool ok = false;
    const double v = numberText.toDouble(&ok);  // always the C locale
    if (!ok)
        return;  // out of range: no number, the markers stay
    // Stored as read, without classification: "0" is a valid 0.0.
    setValue(f & qv::UpperReportLimit ? AboveLimit : f & qv::LowerReportLimit ? BelowLimit : ValidNumber, v);
}

AnalysisResult AnalysisResult::fromString(const QString &text)
{
    return AnalysisResult(text);
}

QString AnalysisResult::prefix(int mask) const
{
    const int m = d->flags & mask;
    if (!(m & (qv::ManualInput | qv::DilutionResult | qv::ReplicationDiff | qv::LowerReportLimit
               | qv::UpperReportLimit)))
        return QString();
    Profile &profile = Profile::instance();
    QString text;
    if (m & qv::ManualInput)
        text += profile.manual_input_flag();
    if (m & qv::DilutionResult)
        text += profile.dilution_result_flag();
    if (m & qv::ReplicationDiff)
        text += profile.replication_diff_flag();
    if (m & qv::LowerReportLimit)
        text += profile.lower_report_limit_flag();
    else if (m & qv::UpperReportLimit)
        text += profile.upper_report_limit_flag();
    return text;
}

QString AnalysisResult::suffix() const
{
    if (d->flags & qv::LowerMarkLimit)
        return Profile::instance().lower_mark_limit_flag();
    if (d->flags & qv::UpperMarkLimit)
        return Profile::instance().upper_mark_limit_flag();
    return QString();
}

QString AnalysisResult::toString(Format format, char fmt, int prec) const
{
    if (prec < 0) {
        fmt = 'g';
        prec = 6;
    }
    if (d->error < ValidNumber) {
        // Flags play no part without a number.
        if (d->error == NotClotted || isNotClottedValue(d->value))
            return Profile::instance().result_not_clotted();
        if (d->error == NullResult)
            return QString();
        return Profile::instance().result_can_not_be_calculated();
    }
    const bool display = format == DisplayFormat;
    QString text = prefix(display ? -1 : (qv::LowerReportLimit | qv::UpperReportLimit));
    if (!text.isEmpty())
        text += QLatin1Char(' ');
    text += QString::number(d->value, fmt, prec);
    if (display) {
        const QString s = suffix();
        if (!s.isEmpty())
            text += QLatin1Char(' ') + s;
    }
    return text;
}

QString AnalysisResult::errorText() const
{
    if (!d->errorText.isEmpty())
        return d->errorText;
    switch (d->error) {
    case NullResult:
        return QObject::tr("结果为空");
    case InvalidValue:
        return QObject::tr("无效的值");
    case UnknownError:
        return QObject::tr("未知错误");
    case NoStandardCurve:
        return QObject::tr("无标准曲线");
    case InvalidStandardCurve:
        return QObject::tr("标准曲线无效");
    case StandardCurveSettingError:
        return QObject::tr("标准曲线设置错误");
    case InvalidCalculationMethod:
        return QObject::tr("无效的计算方法");
    case MissingCalculationParameter:
        return QObject::tr("计算所需的参数不存在");
    default:
        return QString();
    }
}

QVariant AnalysisResult::foregroundRole() const
{
    Profile &profile = Profile::instance();
    if (d->error < ValidNumber)
        return solidBrush(profile.color_of_null_result());
    // For results with a number the flags decide, first match wins.
    const int f = d->flags;
    if (f & qv::NoForegroundColor)
        return QVariant();
    if (f & qv::UpperReportLimit)
        return solidBrush(profile.color_of_upper_report());
    if (f & qv::LowerReportLimit)
        return solidBrush(profile.color_of_lower_report());
    if (f & qv::UpperMarkLimit)
        return solidBrush(profile.color_of_upper_mark());
    if (f & qv::LowerMarkLimit)
        return solidBrush(profile.color_of_lower_mark());
    return QVariant();
}
