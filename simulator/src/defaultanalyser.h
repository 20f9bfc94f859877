#ifndef DEFAULTANALYSER_H
#define DEFAULTANALYSER_H

class SimulatedLink;

// Replaces the link's modules with the default analyser:
//   1 gateway, with 5 (a gateway with 3 behind it) and 6 behind it; 2 a plain module.
// Each module has non-zero registers and bits, file 1 holding a valid trunk, file 2
// holding 100 records, identification objects 0-6 (vendor, product code, version,
// URL, product name, model, application), a busy phase of two polls after a restart
// or a write to holding register 0x0100, and boot-loader information.
void buildDefaultAnalyser(SimulatedLink &link);

#endif // DEFAULTANALYSER_H
