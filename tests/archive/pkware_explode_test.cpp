#include "archive/format/pkware_explode.h"

#include <StormLib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

// pklib as libstorm exports it (StormLib.h does not declare it). Only implode takes the ASCII coding
// and a chosen dictionary size: SCompImplode always codes binary, the dictionary by input size.
using ReadFn = unsigned (*)(char*, unsigned*, void*);
using WriteFn = void (*)(char*, unsigned*, void*);
extern "C" unsigned implode(ReadFn, WriteFn, char* work, void* param, unsigned* coding, unsigned* dictSize);
extern "C" unsigned explode(ReadFn, WriteFn, char* work, void* param);

namespace {
using Bytes = std::vector<std::uint8_t>;
struct Pipe {
    const Bytes& in;
    std::size_t at;
    Bytes out;
};

// pklib's implode with a dictionary size, or its explode without one.
Bytes Pklib(const Bytes& in, unsigned coding = 0, unsigned dictSize = 0) {
    Pipe pipe{in, 0, {}};
    const ReadFn read = [](char* buf, unsigned* size, void* p) {
        auto& pipe = *static_cast<Pipe*>(p);
        const auto n = static_cast<unsigned>(std::min<std::size_t>(*size, pipe.in.size() - pipe.at));
        std::copy_n(pipe.in.begin() + static_cast<std::ptrdiff_t>(pipe.at), n, buf);
        pipe.at += n;
        return n;
    };
    const WriteFn write = [](char* buf, unsigned* size, void* p) {
        static_cast<Pipe*>(p)->out.insert(static_cast<Pipe*>(p)->out.end(), buf, buf + *size);
    };
    std::vector<char> work(1 << 16); // pklib's state: 36312 (implode) or 12596 bytes with 32-bit pointers
    EXPECT_EQ(dictSize ? implode(read, write, work.data(), &pipe, &coding, &dictSize)
                       : explode(read, write, work.data(), &pipe),
              0u);
    return pipe.out;
}

Bytes Random(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    return bytes;
}

Bytes Text(std::size_t size) {
    const char* const words[] = {"call ", "set ", "udg_Hero", "[i] = ", "GetUnitX(", ")\r\n", "endfunction\r\n", "\\"};
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < size)
        text += words[rng() % std::size(words)];
    return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

// Random bytes, then for each (distance, length) a copy from that far back, 5 random bytes apart.
Bytes WithCopies(std::size_t start, const std::vector<std::pair<std::size_t, std::size_t>>& copies) {
    Bytes bytes = Random(start, 3);
    for (const auto& [distance, length] : copies) {
        for (std::size_t i = 0; i < length; ++i)
            bytes.push_back(bytes[bytes.size() - distance]);
        const Bytes gap = Random(5, static_cast<unsigned>(bytes.size()));
        bytes.insert(bytes.end(), gap.begin(), gap.end());
    }
    return bytes;
}

void ExpectRoundTrip(const Bytes& plain, const Bytes& packed) {
    Bytes exact(plain.size()), roomy(plain.size() + 1), tight(plain.size() - 1);
    EXPECT_EQ(PkwareExplode(packed, exact), plain.size());
    EXPECT_EQ(exact, plain);
    EXPECT_EQ(PkwareExplode(packed, roomy), plain.size()); // ends before out is full: the count tells
    EXPECT_EQ(PkwareExplode(packed, tight), std::nullopt); // one byte short: refused
}

// Bits lowest first, for streams made by hand from the format's codes.
struct BitWriter {
    Bytes bytes;
    unsigned used = 8;
    BitWriter& Put(unsigned value, unsigned count) {
        for (unsigned i = 0; i < count; ++i, ++used) {
            if (used == 8)
                bytes.push_back(0), used = 0;
            bytes.back() = static_cast<std::uint8_t>(bytes.back() | ((value >> i) & 1) << used);
        }
        return *this;
    }
    // Copy of 3 (length code 1: 11) from high * 2^lowBits + low + 1 back (high 0: 11, high 63: 00000000).
    BitWriter& Copy3(unsigned high, unsigned low, unsigned lowBits) {
        return Put(1, 1).Put(3, 2).Put(high == 0 ? 3 : 0, high == 0 ? 2 : 8).Put(low, lowBits);
    }
    Bytes End() { return Put(1, 1).Put(0, 7).Put(0xFF, 8).bytes; } // length code 15 + 255: 519
};

} // namespace

TEST(PkwareExplode, DecodesWhatStormLibImplodes) {
    Bytes everyByte(256), runs(2000, 'a'); // runs: copies of 518, the longest
    std::iota(everyByte.begin(), everyByte.end(), 0);
    runs.resize(3637, 'b');
    std::vector<std::pair<std::size_t, std::size_t>> ladder; // each length code's shortest length, and 518
    for (const std::size_t length : {2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 16, 24, 40, 72, 136, 264, 518})
        ladder.emplace_back(length + 10, length);
    const std::vector<std::pair<const char*, Bytes>> inputs = {{"one byte", {'A'}},
                                                               {"short text", Text(90)},
                                                               {"4 KiB text", Text(4096)},
                                                               {"long runs", runs},
                                                               {"binary random", Random(3000, 1)},
                                                               {"every byte value", everyByte},
                                                               {"every length code", WithCopies(600, ladder)}};
    for (const unsigned dictSize : {1024u, 2048u, 4096u}) {
        // Each of the 64 high parts of a distance (pklib makes none of exactly dictSize with 2048 or
        // 4096; HandMadeStreams has that one).
        std::vector<std::pair<std::size_t, std::size_t>> far;
        for (std::size_t high = 0; high < 64; ++high)
            far.emplace_back((high + 1) * dictSize / 64 - 7, 20);
        const Bytes farCopies = WithCopies(2 * dictSize, far);
        for (const unsigned coding : {0u, 1u}) {
            SCOPED_TRACE("coding " + std::to_string(coding) + ", dictionary " + std::to_string(dictSize));
            for (const auto& [name, plain] : inputs) {
                SCOPED_TRACE(name);
                ExpectRoundTrip(plain, Pklib(plain, coding, dictSize));
            }
            ExpectRoundTrip(farCopies, Pklib(farCopies, coding, dictSize));
        }
    }
    // The product's path, SCompImplode: binary, the dictionary chosen by size.
    for (const auto& [size, dictBits] : {std::pair{1000, 4}, std::pair{2000, 5}, std::pair{4096, 6}}) {
        const Bytes plain = Text(static_cast<std::size_t>(size));
        Bytes packed(plain.size());
        int packedSize = size;
        ASSERT_TRUE(SCompImplode(packed.data(), &packedSize, const_cast<std::uint8_t*>(plain.data()), size));
        ASSERT_LT(packedSize, size);
        packed.resize(static_cast<std::size_t>(packedSize));
        EXPECT_EQ(packed[1], dictBits);
        ExpectRoundTrip(plain, packed);
    }
}

TEST(PkwareExplode, HandMadeStreams) {
    Bytes out(5000);
    EXPECT_EQ(PkwareExplode(BitWriter{{0, 4}}.End(), out), 0u); // the empty stream
    // 'A', then a copy of 3 from 1 back: "AAAA"; from 2 back reaches before the start.
    EXPECT_EQ(PkwareExplode(BitWriter{{0, 4}}.Put(0, 1).Put('A', 8).Copy3(0, 0, 4).End(), out), 4u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "AAAA");
    EXPECT_EQ(PkwareExplode(BitWriter{{0, 4}}.Put(0, 1).Put('A', 8).Copy3(0, 1, 4).End(), out), std::nullopt);
    // The farthest distance, 64 << dictBits: after that many literals as pklib's explode reads it,
    // after one fewer refused.
    for (unsigned dictBits = 4; dictBits <= 6; ++dictBits) {
        for (const unsigned literals : {64u << dictBits, (64u << dictBits) - 1}) {
            BitWriter stream{{0, static_cast<std::uint8_t>(dictBits)}};
            for (unsigned i = 0; i < literals; ++i)
                stream.Put(0, 1).Put(i * 7 + 1, 8);
            const Bytes packed = stream.Copy3(63, (1u << dictBits) - 1, dictBits).End();
            const auto written = PkwareExplode(packed, out);
            if (literals == 64u << dictBits) {
                ASSERT_EQ(written, literals + 3);
                EXPECT_EQ(Bytes(out.begin(), out.begin() + literals + 3), Pklib(packed));
            } else {
                EXPECT_EQ(written, std::nullopt);
            }
        }
    }
}

TEST(PkwareExplode, RefusesHostileStreams) {
    Bytes out(4096);
    for (const unsigned coding : {0u, 1u}) {
        const Bytes packed = Pklib(Text(4096), coding, 4096);
        // Truncated at every byte: the end code is cut, so always refused.
        for (std::size_t size = 0; size < packed.size(); ++size)
            EXPECT_EQ(PkwareExplode(std::span(packed).first(size), out), std::nullopt) << size;
        for (const auto& header : {Bytes{2, 6}, Bytes{0, 3}, Bytes{1, 7}, Bytes{0xFF, 6}, Bytes{0, 0}}) {
            Bytes bad = packed;
            std::copy(header.begin(), header.end(), bad.begin());
            EXPECT_EQ(PkwareExplode(bad, out), std::nullopt);
        }
        // A byte of the real stream changed, or garbage after a good header: any count fits, no crash.
        std::mt19937 rng(coding);
        for (unsigned seed = 0; seed < 20000; ++seed) {
            Bytes input = seed % 2 ? packed : Random(2 + rng() % 400, seed);
            if (seed % 2)
                input[2 + rng() % (input.size() - 2)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            else
                input[0] = static_cast<std::uint8_t>(coding), input[1] = static_cast<std::uint8_t>(4 + rng() % 3);
            Bytes small(rng() % 3000);
            EXPECT_LE(PkwareExplode(input, small).value_or(0), small.size());
        }
    }
}
