#ifndef ANALYSISRESULT_P_H
#define ANALYSISRESULT_P_H

#include <QtCore/QAtomicInt>

#include "analysisresult.h"

struct AnalysisResult::Data
{
    Data() = default;
    // A member-wise copy with a reference count of its own.
    Data(const Data &other)
        : ref(1), id(other.id), value(other.value), od(other.od), flags(other.flags),
          error(other.error), errorText(other.errorText), curve(other.curve), ch(other.ch),
          version(other.version), recordId(other.recordId), qcRecordId(other.qcRecordId)
    {
    }
    Data &operator=(const Data &) = delete;

    QAtomicInt ref {1};
    int id = 0;
    double value = 0.0;
    double od = 0.0;
    int flags = 0;
    int error = AnalysisResult::NullResult;
    QString errorText;
    ClotCurve curve;
    int ch = 0;
    int version = 0;
    qint64 recordId = 0;
    qint64 qcRecordId = 0;
};

#endif // ANALYSISRESULT_P_H
