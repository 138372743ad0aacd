// Byte containers and bounds-checked readers/writers used by every codec.
//
// Untrusted input is parsed only through ByteReader, which never reads past the
// end of its span: every read reports failure instead. Output is built through
// ByteWriter. Neither type is thread-safe; both are cheap values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline Bytes toBytes(ByteView view) { return Bytes(view.begin(), view.end()); }

// A cursor over borrowed bytes. Every read either succeeds whole or returns
// nullopt and leaves the cursor where it was.
class ByteReader {
public:
    explicit ByteReader(ByteView data) : m_data(data) {}

    size_t remaining() const { return m_data.size() - m_pos; }
    size_t position() const { return m_pos; }

    std::optional<uint8_t> readU8() {
        if (remaining() < 1)
            return std::nullopt;
        return m_data[m_pos++];
    }
    std::optional<uint16_t> readU16LE() {
        if (remaining() < 2)
            return std::nullopt;
        uint16_t v = static_cast<uint16_t>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    std::optional<uint32_t> readU32LE() {
        if (remaining() < 4)
            return std::nullopt;
        uint32_t v = static_cast<uint32_t>(m_data[m_pos]) |
                     (static_cast<uint32_t>(m_data[m_pos + 1]) << 8) |
                     (static_cast<uint32_t>(m_data[m_pos + 2]) << 16) |
                     (static_cast<uint32_t>(m_data[m_pos + 3]) << 24);
        m_pos += 4;
        return v;
    }
    std::optional<uint32_t> readU32BE() {
        if (remaining() < 4)
            return std::nullopt;
        uint32_t v = (static_cast<uint32_t>(m_data[m_pos]) << 24) |
                     (static_cast<uint32_t>(m_data[m_pos + 1]) << 16) |
                     (static_cast<uint32_t>(m_data[m_pos + 2]) << 8) |
                     static_cast<uint32_t>(m_data[m_pos + 3]);
        m_pos += 4;
        return v;
    }
    std::optional<ByteView> readBytes(size_t n) {
        if (remaining() < n)
            return std::nullopt;
        ByteView out = m_data.subspan(m_pos, n);
        m_pos += n;
        return out;
    }
    ByteView rest() {
        ByteView out = m_data.subspan(m_pos);
        m_pos = m_data.size();
        return out;
    }

private:
    ByteView m_data;
    size_t m_pos = 0;
};

// Appends fixed-width integers and byte runs to a Bytes buffer it owns.
class ByteWriter {
public:
    explicit ByteWriter(size_t capacity = 0) { m_out.reserve(capacity); }

    ByteWriter& u8(uint8_t v) {
        m_out.push_back(v);
        return *this;
    }
    ByteWriter& u16LE(uint16_t v) {
        m_out.push_back(static_cast<uint8_t>(v));
        m_out.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    ByteWriter& u16BE(uint16_t v) {
        m_out.push_back(static_cast<uint8_t>(v >> 8));
        m_out.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    ByteWriter& u32LE(uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8)
            m_out.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    ByteWriter& u32BE(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            m_out.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    ByteWriter& u64BE(uint64_t v) {
        for (int shift = 56; shift >= 0; shift -= 8)
            m_out.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    ByteWriter& bytes(ByteView v) {
        m_out.insert(m_out.end(), v.begin(), v.end());
        return *this;
    }

    size_t size() const { return m_out.size(); }
    const Bytes& view() const { return m_out; }
    Bytes take() { return std::move(m_out); }

private:
    Bytes m_out;
};

} // namespace sorvane
