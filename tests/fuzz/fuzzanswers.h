#pragma once

// The input of the device-side fuzzer: which operation runs, then what the
// device answers to each host call, in the order the calls are made. The
// host that answers from an input and the recorder that writes one from a
// healthy simulated session share these functions, so the two can never
// disagree about the layout. Free of Qt.
//
// Layout:
//   byte 0        the operation (taken modulo the number of operations)
//   byte 1        its parameter (the settings slot)
//   byte 2        a second operation run afterwards on the same device:
//                 0 none, else the operation (byte - 1, modulo the number)
//   then, for every host call except freeInterface and closeFile, a record
//   that starts with a flags byte (bit 0: the call succeeds) and goes on as
//   the call needs (see each function). Past the end every byte reads as 0,
//   so every later call fails and every loop of the program ends.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace FuzzAnswer {

constexpr std::size_t headerSize = 3;

constexpr uint8_t succeeds = 0x01;
// Transfers: every byte asked for moves; otherwise a count follows.
constexpr uint8_t movesAll = 0x02;
// Enumeration: bits 1-2 the number of paths, bit 3 all the same path, bit 4
// the first path too long for the platform.
constexpr int pathCountShift = 1;
constexpr uint8_t pathCountMask = 0x06;
constexpr uint8_t samePaths = 0x08;
constexpr uint8_t longFirstPath = 0x10;
// A failed open: bits 1-7 say why, as UsbOpenError after None, modulo its reasons.
constexpr int openErrorShift = 1;
constexpr int openErrorCount = 4;

// Reads the input front to back; 0 past its end.
class Reader
{
public:
    Reader(const uint8_t *data, std::size_t size)
        : m_data(data)
        , m_size(size)
    { }

    uint8_t byte() { return m_position < m_size ? m_data[m_position++] : 0; }
    // Least significant first; one statement a read, since the order in
    // which the operands of one expression are read is not fixed.
    uint16_t word()
    {
        const uint16_t low = byte();
        const uint16_t high = byte();
        return uint16_t(low | high << 8);
    }
    uint32_t dword()
    {
        const uint32_t low = word();
        const uint32_t high = word();
        return low | high << 16;
    }
    // Consumes count bytes and copies the first limit of them into out;
    // what the input does not have reads as 0.
    void bytes(uint8_t *out, std::size_t count, std::size_t limit)
    {
        const std::size_t available = std::min(count, m_size - m_position);
        const std::size_t copied = std::min(available, limit);
        std::memcpy(out, m_data + m_position, copied);
        std::memset(out + copied, 0, std::min(count, limit) - copied);
        m_position += available;
    }

private:
    const uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

class Writer
{
public:
    void byte(uint8_t value) { m_bytes.push_back(value); }
    void word(uint16_t value)
    {
        byte(uint8_t(value));
        byte(uint8_t(value >> 8));
    }
    void dword(uint32_t value)
    {
        word(uint16_t(value));
        word(uint16_t(value >> 16));
    }
    void bytes(const uint8_t *data, std::size_t count) { m_bytes.insert(m_bytes.end(), data, data + count); }
    const std::vector<uint8_t> &data() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// The outcome of a call that moves bytes.
struct Transfer
{
    bool ok = false;
    uint32_t moved = 0;
};

// flags, then (unless movesAll) a count of countBytes bytes; the count is
// cut to length.
inline Transfer readTransfer(Reader &input, uint32_t length, int countBytes)
{
    const uint8_t flags = input.byte();
    Transfer transfer;
    transfer.ok = flags & succeeds;
    uint32_t count = length;
    if (!(flags & movesAll))
        count = countBytes == 1 ? input.byte() : countBytes == 2 ? input.word() : input.dword();
    transfer.moved = std::min(count, length);
    return transfer;
}

inline void writeTransfer(Writer &output, const Transfer &transfer, uint32_t length, int countBytes)
{
    const bool all = transfer.moved == length;
    output.byte(uint8_t((transfer.ok ? succeeds : 0) | (all ? movesAll : 0)));
    if (all)
        return;
    if (countBytes == 1)
        output.byte(uint8_t(transfer.moved));
    else if (countBytes == 2)
        output.word(uint16_t(transfer.moved));
    else
        output.dword(transfer.moved);
}

// Bulk-in data: a 2-byte length, then that many bytes; the read gets the
// first of them. The rest of what it moved is left as the buffer held it:
// filling a block of many megabytes would cost more than the whole run, and
// the program must not depend on what a device sends there anyway.
inline void readBulkData(Reader &input, uint8_t *buffer, uint32_t moved)
{
    const uint16_t given = input.word();
    input.bytes(buffer, given, moved);
}

inline void writeBulkData(Writer &output, const uint8_t *buffer, uint32_t moved)
{
    const uint16_t given = uint16_t(std::min<uint32_t>(moved, 0xFFFF));
    output.word(given);
    output.bytes(buffer, given);
}

} // namespace FuzzAnswer
