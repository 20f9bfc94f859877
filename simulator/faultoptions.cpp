#include "faultoptions.h"

#include <simulatedfaultplan.h>

#include <QStringList>

namespace {

// "all" stands for more replies than any session produces.
enum { AllReplies = 100000000 };

struct FaultKind {
    const char *name;
    const char *value;
    const char *help;
    int minArgs;  // after N
    int maxArgs;
    // args are the numbers after N (the stale bytes come as text in hex).
    bool (*add)(SimulatedFaultPlan &plan, int replies, const QStringList &args, QString *error);
};

bool number(const QString &text, qint64 low, qint64 high, int *value)
{
    qint64 v = 0;
    if (!parseNumber(text, low, high, &v))
        return false;
    *value = int(v);
    return true;
}

bool numbers(const QStringList &args, const QVector<int> &defaults, qint64 low, qint64 high, QVector<int> *values,
             QString *error)
{
    *values = defaults;
    for (int i = 0; i < args.size(); ++i) {
        if (!number(args.at(i), low, high, &(*values)[i])) {
            *error = QStringLiteral("%1 is not a number from %2 to %3").arg(args.at(i)).arg(low).arg(high);
            return false;
        }
    }
    return true;
}

const QVector<FaultKind> &kinds()
{
    static const QVector<FaultKind> table = {
        {"drop", "N", "the next N replies are not sent (the requests still take effect)", 0, 0,
         [](SimulatedFaultPlan &p, int n, const QStringList &, QString *) { p.dropReplies(n); return true; }},
        {"corrupt-crc", "N", "the next N replies carry a wrong checksum", 0, 0,
         [](SimulatedFaultPlan &p, int n, const QStringList &, QString *) { p.corruptCrc(n); return true; }},
        {"short", "N[,LEN]", "the next N replies stop after LEN bytes (3)", 0, 1,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             QVector<int> v;
             if (!numbers(args, {3}, 0, 255, &v, error))
                 return false;
             p.shortenReplies(n, v[0]);
             return true;
         }},
        {"split", "N[,PIECES[,MS]]", "the next N replies come in PIECES pieces (2), MS apart (20)", 0, 2,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             QVector<int> v;
             if (!numbers(args, {2, 20}, 1, 60000, &v, error))
                 return false;
             p.splitReplies(n, v[0], v[1]);
             return true;
         }},
        {"stale", "N,HEX", "the bytes HEX arrive just before each of the next N replies", 1, 1,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             const QByteArray text = args.first().toLatin1();
             const QByteArray bytes = QByteArray::fromHex(text);
             if (bytes.isEmpty() || bytes.toHex() != text.toLower()) {
                 *error = QStringLiteral("%1 is not bytes in hex (such as dead)").arg(args.first());
                 return false;
             }
             p.sendStaleBytes(n, bytes);
             return true;
         }},
        {"delay", "N,MS", "the next N replies leave MS late", 1, 1,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             QVector<int> v;
             if (!numbers(args, {0}, 0, 600000, &v, error))
                 return false;
             p.delayReplies(n, v[0]);
             return true;
         }},
        {"extend", "N[,K]", "reads among the next N replies answer K more items than asked (1)", 0, 1,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             QVector<int> v;
             if (!numbers(args, {1}, 1, 1000, &v, error))
                 return false;
             p.extendReplies(n, v[0]);
             return true;
         }},
        {"hang-up", "N[,BYTES]", "the line closes after BYTES bytes of each of the next N replies (0)", 0, 1,
         [](SimulatedFaultPlan &p, int n, const QStringList &args, QString *error) {
             QVector<int> v;
             if (!numbers(args, {0}, 0, 255, &v, error))
                 return false;
             p.hangUp(n, v[0]);
             return true;
         }},
        {"misroute", "N", "the next N replies name another module where their route ends", 0, 0,
         [](SimulatedFaultPlan &p, int n, const QStringList &, QString *) { p.misrouteReplies(n); return true; }},
    };
    return table;
}

} // namespace

QVector<ToolOption> faultOptions()
{
    QVector<ToolOption> options;
    for (const FaultKind &k : kinds())
        options.append({QLatin1String(k.name), QLatin1String(k.value), QLatin1String(k.help)});
    return options;
}

bool addFault(SimulatedFaultPlan &plan, const QString &name, const QString &value, QString *error)
{
    for (const FaultKind &k : kinds()) {
        if (name != QLatin1String(k.name))
            continue;
        QStringList parts = value.split(QLatin1Char(','));
        int replies = AllReplies;
        if (parts.first() != QLatin1String("all") && !number(parts.first(), 1, AllReplies, &replies)) {
            *error = QStringLiteral("--%1 %2: N is a number of replies from 1, or all").arg(name, value);
            return false;
        }
        parts.removeFirst();
        if (parts.size() < k.minArgs || parts.size() > k.maxArgs) {
            *error = QStringLiteral("--%1 takes %2").arg(name, QLatin1String(k.value));
            return false;
        }
        QString why;
        if (!k.add(plan, replies, parts, &why)) {
            *error = QStringLiteral("--%1 %2: %3").arg(name, value, why);
            return false;
        }
        return true;
    }
    return true;
}
