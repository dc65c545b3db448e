// The run-length coding of Rle0 entries (method 1): a control byte c with
// n = c & 0x3F (0 stands for 64), then by its top two bits: 00 n literal
// bytes; 01 one byte, 10 two bytes, 11 three bytes, repeated n + 1 times.
#ifndef VX_FILEACCESS_RLE_CODEC_H_
#define VX_FILEACCESS_RLE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace rle {

// Decodes packed[0, packedLength) with method (0: the bytes as they are,
// 1: run-length tokens) into dest[0, unpackedLength). Writes stop at
// unpackedLength; a token whose operand bytes are not all there ends the
// decoding. Returns the number of bytes written from dest[0] on (the rest
// is left as it was), or -1 for an unknown method. With dest null nothing is
// written: the result says how many bytes decoding would write.
int64_t DecodeTokens(uint8_t* dest, uint32_t unpackedLength, const uint8_t* packed,
                     uint32_t packedLength, uint32_t method);

// Encodes data as run-length tokens (method 1).
std::string Encode(const uint8_t* data, size_t size);

}  // namespace rle

#endif  // VX_FILEACCESS_RLE_CODEC_H_
