#include "delta/suffix_array.h"

#include <algorithm>
#include <cstring>

#ifdef VX_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace delta {
namespace {

// Suffixes sorted by comparing them whole: for the shortest texts.
template <typename T>
void SortNaive(const T* s, int32_t n, int32_t* sa) {
  for (int32_t i = 0; i < n; ++i) sa[i] = i;
  std::sort(sa, sa + n, [&](int32_t a, int32_t b) {
    while (a < n && b < n) {
      if (s[a] != s[b]) return s[a] < s[b];
      ++a;
      ++b;
    }
    return a == n && b != n;
  });
}

// SA-IS over s[0, n) with symbols in [0, upper]: classify each suffix as
// S (smaller than the next) or L, sort the leftmost-S substrings by one
// induced pass, name them, sort their names recursively where they repeat,
// and induce the whole order from the sorted leftmost-S suffixes.
template <typename T>
void Sais(const T* s, int32_t n, int32_t upper, int32_t* sa) {
  if (n < 8) {
    SortNaive(s, n, sa);
    return;
  }
  std::vector<bool> ls(n, false);
  for (int32_t i = n - 2; i >= 0; --i) ls[i] = s[i] == s[i + 1] ? ls[i + 1] : s[i] < s[i + 1];
  std::vector<int32_t> sumL(upper + 2, 0), sumS(upper + 2, 0);
  for (int32_t i = 0; i < n; ++i) {
    if (!ls[i]) {
      ++sumS[s[i]];
    } else {
      ++sumL[s[i] + 1];
    }
  }
  for (int32_t i = 0; i <= upper; ++i) {
    sumS[i] += sumL[i];
    if (i < upper) sumL[i + 1] += sumS[i];
  }
  std::vector<int32_t> buf(upper + 2);
  auto induce = [&](const std::vector<int32_t>& lms) {
    std::fill(sa, sa + n, -1);
    std::copy(sumS.begin(), sumS.end(), buf.begin());
    for (int32_t d : lms) {
      if (d != n) sa[buf[s[d]]++] = d;
    }
    std::copy(sumL.begin(), sumL.end(), buf.begin());
    sa[buf[s[n - 1]]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
      int32_t v = sa[i];
      if (v >= 1 && !ls[v - 1]) sa[buf[s[v - 1]]++] = v - 1;
    }
    std::copy(sumL.begin(), sumL.end(), buf.begin());
    for (int32_t i = n - 1; i >= 0; --i) {
      int32_t v = sa[i];
      if (v >= 1 && ls[v - 1]) sa[--buf[s[v - 1] + 1]] = v - 1;
    }
  };

  std::vector<int32_t> lmsMap(n + 1, -1);
  std::vector<int32_t> lms;
  for (int32_t i = 1; i < n; ++i) {
    if (!ls[i - 1] && ls[i]) {
      lmsMap[i] = static_cast<int32_t>(lms.size());
      lms.push_back(i);
    }
  }
  int32_t m = static_cast<int32_t>(lms.size());
  induce(lms);
  if (m == 0) return;

  std::vector<int32_t> sorted;
  sorted.reserve(m);
  for (int32_t i = 0; i < n; ++i) {
    if (lmsMap[sa[i]] != -1) sorted.push_back(sa[i]);
  }
  std::vector<int32_t> names(m);
  int32_t upperName = 0;
  names[lmsMap[sorted[0]]] = 0;
  for (int32_t i = 1; i < m; ++i) {
    int32_t l = sorted[i - 1], r = sorted[i];
    int32_t endL = lmsMap[l] + 1 < m ? lms[lmsMap[l] + 1] : n;
    int32_t endR = lmsMap[r] + 1 < m ? lms[lmsMap[r] + 1] : n;
    bool same = true;
    if (endL - l != endR - r) {
      same = false;
    } else {
      while (l < endL && s[l] == s[r]) {
        ++l;
        ++r;
      }
      if (l == n || s[l] != s[r]) same = false;
    }
    if (!same) ++upperName;
    names[lmsMap[sorted[i]]] = upperName;
  }
  lmsMap = std::vector<int32_t>();
  std::vector<int32_t> order(m);
  Sais(names.data(), m, upperName, order.data());
  for (int32_t i = 0; i < m; ++i) sorted[i] = lms[order[i]];
  induce(sorted);
}

}  // namespace

std::vector<int32_t> SuffixArrayBySais(const uint8_t* text, size_t n) {
  std::vector<int32_t> sa(n);
  if (n > 0) Sais(text, static_cast<int32_t>(n), 255, sa.data());
  return sa;
}

std::vector<int32_t> SuffixArray(const uint8_t* text, size_t n) {
#ifdef VX_HAVE_DIVSUFSORT
  std::vector<int32_t> sa(n);
  if (n > 0 && divsufsort(text, sa.data(), static_cast<saidx_t>(n)) == 0) return sa;
#endif
  return SuffixArrayBySais(text, n);
}

bool SuffixArrayByLibrary() {
#ifdef VX_HAVE_DIVSUFSORT
  return true;
#else
  return false;
#endif
}

}  // namespace delta
