#ifndef BITARRAY_H
#define BITARRAY_H

/**
 * \file bitarray.h
 * \brief Bits packed eight to a byte (BitArray).
 */

#include <QtCore/QVector>

#include "qvcore_global.h"

/**
 * A fixed number of bits packed eight to a byte, bit i at the bit of value
 * 1 << (i % 8) of byte i / 8, as coils and inputs travel on the line, with the packed
 * bytes open to byte-oriented code (data()). Copies share the bytes until one of them
 * is written. Reentrant.
 */
class QVCORE_EXPORT BitArray
{
public:
    /// An array of size bits, all clear; a negative size makes an empty array.
    explicit BitArray(int size = 0);
    /// An array of size bits with every byte 0xFF or 0x00, the spare bits of the last byte included.
    BitArray(int size, bool value);

    /// The number of bits given at construction (never negative).
    int count() const { return m_count; }

    /**
     * Bit i. Indices up to the end of the last byte address storage (the spare bits
     * beyond count() included); anything outside reads false.
     */
    bool operator[](int i) const;
    /// Sets or clears bit i; an index outside the storage (see operator[]) is ignored.
    void setBit(int i, bool value);

    /// The (count() + 7) / 8 packed bytes, none for an empty array; bit i is in byte i / 8.
    const char *data() const { return m_bytes.constData(); }
    /// The packed bytes for writing; detaches a shared copy first.
    char *data() { return m_bytes.data(); }

private:
    bool holds(int i) const { return i >= 0 && (i >> 3) < m_bytes.size(); }

    int m_count;
    QVector<char> m_bytes;
};

#endif // BITARRAY_H
