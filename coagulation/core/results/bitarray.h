#ifndef BITARRAY_H
#define BITARRAY_H

#include <QtCore/QVector>

#include "qvcore_global.h"

// A fixed number of bits packed eight to a byte, bit i at the bit of value
// 1 << (i % 8) of byte i / 8, with the packed bytes open to byte-oriented code.
// Copies share the bytes until one of them is written.
class QVCORE_EXPORT BitArray
{
public:
    // A negative size makes an empty array.
    explicit BitArray(int size = 0);
    // Every byte 0xFF or 0x00, the spare bits of the last byte included.
    BitArray(int size, bool value);

    int count() const { return m_count; }

    // Indices up to the end of the last byte address storage (the spare bits
    // beyond count() included); anything outside reads false and is not written.
    bool operator[](int i) const;
    void setBit(int i, bool value);

    const char *data() const { return m_bytes.constData(); }
    char *data() { return m_bytes.data(); }

private:
    bool holds(int i) const { return i >= 0 && (i >> 3) < m_bytes.size(); }

    int m_count;
    QVector<char> m_bytes;
};

#endif // BITARRAY_H
