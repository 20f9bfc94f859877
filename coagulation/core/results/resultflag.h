#ifndef RESULTFLAG_H
#define RESULTFLAG_H

/**
 * \file resultflag.h
 * \brief The markers of a test result (qv::ResultFlag).
 */

#include <QtCore/QFlags>

/**
 * \namespace qv
 * \brief The library's enumerations of results and samples.
 */
namespace qv {

/**
 * Markers that qualify a test result for display and report; AnalysisResult::flags()
 * holds them. Bits not listed here belong to the application: results store and copy
 * them untouched (the type is int, so any bit is a valid value).
 */
enum ResultFlag : int {
    DilutionResult = 0x2,       ///< The sample was diluted; shown with the dilution marker.
    LowerReportLimit = 0x4,     ///< Below the lower report limit: the value is that limit.
    UpperReportLimit = 0x8,     ///< Above the upper report limit: the value is that limit. Wins over 0x4.
    LowerMarkLimit = 0x10,      ///< Below the lower reference limit; shown with a suffix marker.
    UpperMarkLimit = 0x20,      ///< Above the upper reference limit; shown with a suffix marker.
    ReplicationDiff = 0x400,    ///< The replicate measurements differ.
    ManualTest = 0x1000,        ///< The test was run by hand.
    ManualInput = 0x8000,       ///< The value was typed in.
    NoForegroundColor = 0x10000 ///< A result with a number is shown without a highlight colour.
};
/// A combination of ResultFlag values.
Q_DECLARE_FLAGS(ResultFlags, ResultFlag)

} // namespace qv

Q_DECLARE_OPERATORS_FOR_FLAGS(qv::ResultFlags)

#endif // RESULTFLAG_H
