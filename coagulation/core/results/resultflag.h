#ifndef RESULTFLAG_H
#define RESULTFLAG_H

#include <QtCore/QFlags>

namespace qv {

// Markers that qualify a test result for display and report. Bits not listed
// here belong to the application: results store and copy them untouched (the
// type is int, so any bit is a valid value).
enum ResultFlag : int {
    DilutionResult = 0x2,       // diluted sample
    LowerReportLimit = 0x4,     // below the lower report limit
    UpperReportLimit = 0x8,     // above the upper report limit
    LowerMarkLimit = 0x10,      // below the lower reference limit
    UpperMarkLimit = 0x20,      // above the upper reference limit
    ReplicationDiff = 0x400,    // replicate measurements differ
    ManualTest = 0x1000,        // the test was run by hand
    ManualInput = 0x8000,       // the value was typed in
    NoForegroundColor = 0x10000 // a valid result shown without highlight
};
Q_DECLARE_FLAGS(ResultFlags, ResultFlag)

} // namespace qv

Q_DECLARE_OPERATORS_FOR_FLAGS(qv::ResultFlags)

#endif // RESULTFLAG_H
