// The suffix array of a byte string: the order in which the delta maker
// searches the old file. Where the build has libdivsufsort (Linux), it
// sorts; elsewhere (the MinGW build, which has no such library) our own
// induced sorting (SA-IS) does, in linear time. A suffix array is unique,
// so both give the same array and the same deltas.
#ifndef VX_DELTA_SUFFIX_ARRAY_H_
#define VX_DELTA_SUFFIX_ARRAY_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace delta {

// The largest text the 32-bit positions describe.
constexpr size_t kMaxSuffixText = 0x7FFFFFFE;

// The starting positions of text's n suffixes in ascending order (a
// suffix that is a prefix of another sorts first). n at most
// kMaxSuffixText. SA-IS needs about 5n bytes besides the result.
std::vector<int32_t> SuffixArray(const uint8_t* text, size_t n);

// The same by SA-IS alone, whatever the build has.
std::vector<int32_t> SuffixArrayBySais(const uint8_t* text, size_t n);

// True when SuffixArray uses the library.
bool SuffixArrayByLibrary();

}  // namespace delta

#endif  // VX_DELTA_SUFFIX_ARRAY_H_
