// Dilutions and ratios are typed in by operators: any text must give either a
// canonical dilution or none, the canonical form must be stable, and a ratio
// found must agree with the dilution read from the same text.
#include <qvglobal.h>

#include <QtCore/QRegularExpression>
#include <QtCore/QString>
#include <QtCore/QtGlobal>

#include <cmath>
#include <cstdint>
#include <cstdlib>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));

    bool ok = true;
    const double value = fraction(text, &ok);
    if (!ok && value != 0.0)
        abort();
    bool again = false;
    if (fraction(text, nullptr) != value && !std::isnan(value))
        abort();
    (void)again;

    const QString dilution = normalizedDilution(text);
    if (dilution.isNull())
        return 0;
    static const QRegularExpression canonical(QStringLiteral("^[0-9]+/[0-9]+$"));
    if (!canonical.match(dilution).hasMatch())
        abort();
    // Canonical once, canonical for good; and its parts are the text's numbers.
    if (normalizedDilution(dilution) != dilution)
        abort();
    const int slash = dilution.indexOf(QLatin1Char('/'));
    if (dilution.leftRef(slash).toInt() == 0 || dilution.midRef(slash + 1).toInt() == 0)
        abort();
    bool found = false;
    const double ratio = fraction(dilution, &found);
    if (!found || !(ratio > 0.0) || !ok || ratio != value)
        abort();
    return 0;
}
