#pragma once

// Overwrites secret bytes so that they do not linger in released memory; the
// volatile writes keep the compiler from dropping them as dead stores.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

inline void secureWipe(void *bytes, std::size_t size)
{
    volatile auto *cursor = static_cast<volatile uint8_t *>(bytes);
    for (std::size_t i = 0; i < size; ++i)
        cursor[i] = 0;
}

// The whole capacity, so that bytes past a shrink are wiped as well.
inline void secureWipe(std::vector<uint8_t> &bytes)
{
    bytes.resize(bytes.capacity());
    secureWipe(bytes.data(), bytes.size());
    bytes.clear();
}

inline void secureWipe(QByteArray &bytes)
{
    if (!bytes.isEmpty() && !bytes.isDetached())
        bytes.detach(); // never write into a buffer another array shares
    secureWipe(bytes.data(), std::size_t(bytes.size()));
    bytes.clear();
}
