#pragma once
// The PKWARE Data Compression Library's "explode": the decoder for MPQ compression mask 0x08 and the
// block flag 0x100 (imploded files). One call decodes one whole stream, as one MPQ sector holds.
//
// The stream: byte 0 is the literal coding (0 binary: a literal is 8 raw bits; 1 ASCII: a literal is
// one of 256 fixed prefix codes), byte 1 the dictionary size as 4, 5 or 6 bits (1024, 2048, 4096
// bytes); then codes read least significant bit first. Each token starts with a bit: 0 a literal,
// 1 a copy of length 2..518 from 1 up to the dictionary size back (length 2: up to 256). The copy
// length 519 is the end of the stream.
//
// Promises:
// - Returns the number of bytes written when the end code is reached, whether or not out is full;
//   the caller compares it with the size it expects. A stream may end with out full (the usual
//   case) or short of it. Bytes after the end code are ignored.
// - Returns nullopt for a malformed stream: fewer than 2 bytes, a literal coding other than 0 or 1,
//   dictionary bits other than 4..6, input that ends before the end code, a copy reaching before the
//   start of the output, or a literal or copy that would not fit in out (out full before the end
//   code). The code tables are complete prefix codes, so every bit pattern decodes to some code.
// - Never reads outside packed, never writes outside out, allocates nothing. Time is linear in
//   out.size() (every token writes at least one byte, or ends the stream). Bytes of out past the
//   returned count are left as they were; on nullopt, out may hold part of the output.
// - The 4-byte stream of an empty input (header, end code) decodes to 0 bytes (StormLib's explode
//   rejects any stream of 4 bytes or fewer; MPQ stores empty files uncompressed anyway).
//
// Example:
//   std::vector<std::uint8_t> plain(sectorSize);
//   const auto written = PkwareExplode(packedSector, plain);
//   if (!written || *written != plain.size()) { /* a corrupt sector */ }
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

std::optional<std::size_t> PkwareExplode(std::span<const std::uint8_t> packed, std::span<std::uint8_t> out);
