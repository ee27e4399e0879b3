#include "archive/format/pkware_explode.h"

#include <array>
#include <string_view>

namespace {

// The format's three prefix codes, given as one code length per symbol (a hex digit each). The codes
// themselves follow from the lengths: canonical order (shorter codes first, equal lengths by symbol),
// each code sent complemented, its most significant bit first.

// ASCII literals, bytes 0x00..0xFF.
constexpr std::string_view kAsciiLengths = "BCCCCCCCC87CC7CCCCCCCCCCCCDCCCCC"  // 0x00
                                           "4A8CACA87789767876777787788CB79B"  // 0x20
                                           "C676657886B967667B66679899B8B9C8"  // 0x40
                                           "C566656665B756556A55558788ABBCCC"  // 0x60
                                           "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD"  // 0x80
                                           "DDDDDDDDDDDDDDDDCCCCCCCCCCCCCCCC"  // 0xA0
                                           "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC"  // 0xC0
                                           "DCDDDCDDDCDDDDCDDDCCCDDDDDDDDDDD"; // 0xE0
// Copy length codes 0..15 (see ShortestLength).
constexpr std::string_view kLengthLengths = "3233444555566677";
// The high part of a copy distance, 0..63.
constexpr std::string_view kDistanceLengths = "2445555666666666666666777777777777777777777777778888888888888888";

constexpr unsigned kAsciiMaxBits = 13;
constexpr unsigned kLengthMaxBits = 7;
constexpr unsigned kDistanceMaxBits = 8;

constexpr unsigned LengthOf(std::string_view lengths, std::size_t symbol) {
    const char digit = lengths[symbol];
    return digit <= '9' ? static_cast<unsigned>(digit - '0') : static_cast<unsigned>(digit - 'A' + 10);
}

// Whether the lengths make a complete prefix code (Kraft sum exactly 1), every length 1..MaxBits:
// then every MaxBits-bit window starts with exactly one code.
template <unsigned MaxBits> constexpr bool IsCompleteCode(std::string_view lengths) {
    std::size_t sum = 0; // in units of 2^-MaxBits
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        const unsigned bits = LengthOf(lengths, symbol);
        if (bits < 1 || bits > MaxBits)
            return false;
        sum += std::size_t{1} << (MaxBits - bits);
    }
    return sum == std::size_t{1} << MaxBits;
}

// For each MaxBits-bit window of the stream (first bit lowest): the code it starts with, as
// (length << 8) | symbol; 0 for a window no code starts (none, for a complete code).
template <unsigned MaxBits> using DecodeTable = std::array<std::uint16_t, std::size_t{1} << MaxBits>;

template <unsigned MaxBits> constexpr DecodeTable<MaxBits> BuildTable(std::string_view lengths) {
    DecodeTable<MaxBits> table{};
    unsigned code = 0;
    for (unsigned bits = 1; bits <= MaxBits; ++bits, code <<= 1) {
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            if (LengthOf(lengths, symbol) != bits)
                continue;
            // Read lowest bit first, the complemented code arrives reversed.
            unsigned window = 0;
            for (unsigned i = 0; i < bits; ++i)
                window |= ((~code >> (bits - 1 - i)) & 1u) << i;
            for (std::size_t fill = window; fill < table.size(); fill += std::size_t{1} << bits)
                table[fill] = static_cast<std::uint16_t>((bits << 8) | symbol);
            ++code;
        }
    }
    return table;
}

static_assert(kAsciiLengths.size() == 256 && IsCompleteCode<kAsciiMaxBits>(kAsciiLengths));
static_assert(kLengthLengths.size() == 16 && IsCompleteCode<kLengthMaxBits>(kLengthLengths));
static_assert(kDistanceLengths.size() == 64 && IsCompleteCode<kDistanceMaxBits>(kDistanceLengths));

constexpr DecodeTable<kAsciiMaxBits> kAsciiTable = BuildTable<kAsciiMaxBits>(kAsciiLengths);
constexpr DecodeTable<kLengthMaxBits> kLengthTable = BuildTable<kLengthMaxBits>(kLengthLengths);
constexpr DecodeTable<kDistanceMaxBits> kDistanceTable = BuildTable<kDistanceMaxBits>(kDistanceLengths);

// Length codes 0..7 are the lengths 2..9; code k >= 8 carries k - 7 extra bits added to the
// shortest length it stands for, 2^(k-7) + 8. The longest, code 15 with all extra bits set, is 519:
// the end of the stream.
constexpr unsigned ExtraBits(unsigned lengthCode) {
    return lengthCode < 8 ? 0 : lengthCode - 7;
}
constexpr unsigned ShortestLength(unsigned lengthCode) {
    return lengthCode < 8 ? lengthCode + 2 : (1u << (lengthCode - 7)) + 8;
}
constexpr std::size_t kEndOfStream = 519;
static_assert(ShortestLength(15) + (1u << ExtraBits(15)) - 1 == kEndOfStream);
static_assert(ShortestLength(8) == ShortestLength(7) + 1);

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kAscii = 1;

// Bits of the stream, lowest first, held up to 32 at a time; a request past the end is refused.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The next count (<= 16) bits as a number, the first bit lowest.
    std::optional<unsigned> Take(unsigned count) {
        Refill();
        if (held_ < count)
            return std::nullopt;
        const unsigned value = window_ & ((1u << count) - 1);
        Drop(count);
        return value;
    }

    // The symbol of the next code; past the end of the input the window is padded with zeros, so a
    // code is taken only if all its bits are there.
    template <std::size_t Windows> std::optional<unsigned> Decode(const std::array<std::uint16_t, Windows>& table) {
        Refill();
        const unsigned entry = table[window_ & (Windows - 1)];
        const unsigned bits = entry >> 8;
        if (bits == 0 || bits > held_)
            return std::nullopt;
        Drop(bits);
        return entry & 0xFFu;
    }

private:
    void Refill() {
        while (held_ <= 24 && next_ < bytes_.size()) {
            window_ |= static_cast<std::uint32_t>(bytes_[next_++]) << held_;
            held_ += 8;
        }
    }
    void Drop(unsigned count) {
        window_ >>= count;
        held_ -= count;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t next_ = 0;
    std::uint32_t window_ = 0; // bits above held_ are zero
    unsigned held_ = 0;
};

} // namespace

std::optional<std::size_t> PkwareExplode(std::span<const std::uint8_t> packed, std::span<std::uint8_t> out) {
    if (packed.size() < 2)
        return std::nullopt;
    const std::uint8_t coding = packed[0];
    const unsigned dictionaryBits = packed[1];
    if ((coding != kBinary && coding != kAscii) || dictionaryBits < 4 || dictionaryBits > 6)
        return std::nullopt;

    BitReader in(packed.subspan(2));
    std::size_t written = 0;
    for (;;) {
        const auto isCopy = in.Take(1);
        if (!isCopy)
            return std::nullopt;

        if (*isCopy == 0) {
            const auto literal = coding == kBinary ? in.Take(8) : in.Decode(kAsciiTable);
            if (!literal || written == out.size())
                return std::nullopt;
            out[written++] = static_cast<std::uint8_t>(*literal);
            continue;
        }

        const auto lengthCode = in.Decode(kLengthTable);
        if (!lengthCode)
            return std::nullopt;
        const auto extra = in.Take(ExtraBits(*lengthCode));
        if (!extra)
            return std::nullopt;
        const std::size_t length = ShortestLength(*lengthCode) + *extra;
        if (length == kEndOfStream)
            return written;

        // The distance: a coded high part, then 2 low bits for a copy of 2, else dictionaryBits.
        const auto high = in.Decode(kDistanceTable);
        const unsigned lowBits = length == 2 ? 2 : dictionaryBits;
        const auto low = in.Take(lowBits);
        if (!high || !low)
            return std::nullopt;
        const std::size_t distance = ((std::size_t{*high} << lowBits) | *low) + 1;
        if (distance > written || length > out.size() - written)
            return std::nullopt;
        // Byte by byte: a copy may overlap what it writes (a run).
        for (std::size_t end = written + length; written < end; ++written)
            out[written] = out[written - distance];
    }
}
