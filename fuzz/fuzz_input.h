// Reads fixed-size values off the front of a fuzzer's input, and writes
// them in the same layout for the seed corpus. Once the input runs out every
// value reads as zero bytes, so a short input is still a complete,
// deterministic request.
#ifndef TQF_FUZZ_INPUT_H
#define TQF_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace tqf::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    // The next sizeof(T) bytes as they lie, so every bit pattern (NaN,
    // infinity, INT_MIN) can occur.
    template <typename T>
    T take() {
        static_assert(std::is_trivially_copyable_v<T>, "raw bytes make only plain values");
        unsigned char bytes[sizeof(T)] = {};
        const size_t count = m_size < sizeof(T) ? m_size : sizeof(T);
        if (count > 0)
            std::memcpy(bytes, m_data, count);
        skip(sizeof(T));
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    // Skips up to `count` bytes.
    void skip(size_t count) {
        const size_t taken = m_size < count ? m_size : count;
        m_data += taken;
        m_size -= taken;
    }

    const uint8_t *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
};

// Appends a value's bytes as FuzzInput::take reads them back.
template <typename T>
void put(std::vector<uint8_t> &out, T value) {
    static_assert(std::is_trivially_copyable_v<T>, "raw bytes make only plain values");
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_INPUT_H
