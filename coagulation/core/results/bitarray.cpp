#include "bitarray.h"

static int byteCountFor(int bits)
{
    // Written so that sizes near INT_MAX do not overflow.
    return bits <= 0 ? 0 : bits / 8 + (bits % 8 != 0 ? 1 : 0);
}

BitArray::BitArray(int size)
    : m_count(qMax(size, 0)), m_bytes(byteCountFor(size), char(0))
{
}

BitArray::BitArray(int size, bool value)
    : m_count(qMax(size, 0)), m_bytes(byteCountFor(size), value ? char(0xFF) : char(0))
{
}

bool BitArray::operator[](int i) const
{
    return holds(i) && (m_bytes.at(i >> 3) & (1 << (i & 7))) != 0;
}

void BitArray::setBit(int i, bool value)
{
    if (!holds(i))
        return;
    char &byte = m_bytes[i >> 3];  // detaches a shared copy
    const char mask = char(1 << (i & 7));
    byte = value ? char(byte | mask) : char(byte & ~mask);
}
