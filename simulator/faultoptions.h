#ifndef FAULTOPTIONS_H
#define FAULTOPTIONS_H

#include <commandline.h>

#include <QString>
#include <QVector>

class SimulatedFaultPlan;

// qvsim's fault options, one row per fault kind of the simulator. Each takes
// N[,ARG...]: the next N replies (or "all") get the fault. Options given
// together queue in their order, as SimulatedFaultPlan does.
QVector<ToolOption> faultOptions();

// Queues the fault of one option given on the command line; false with a
// message when its value does not fit. Names that are no fault option are
// left alone (true).
bool addFault(SimulatedFaultPlan &plan, const QString &name, const QString &value, QString *error);

#endif // FAULTOPTIONS_H
