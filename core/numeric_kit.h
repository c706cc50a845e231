// The numeric kit shared by the Lomb-Scargle routine and the least-squares
// solver: the error report on the error stream and arrays indexed from a
// given lower bound (the published routines index from 1).
#pragma once

#include <cstddef>
#include <vector>

namespace fazorn {

// Writes three lines to stderr: "Numerical Recipes run-time error...", the
// text, "...now exiting to system..."; then returns (the program goes on).
void reportNumericError(const char* text);

namespace nr {

// A vector indexable from nl to nh inclusive, with one element of slack
// beyond nh (nh - nl + 2 elements), zero-initialised. When the allocation
// fails the kit reports it and the vector is empty (ok() is false).
template <class T>
class IndexedVector {
 public:
  IndexedVector() = default;
  IndexedVector(long nl, long nh, const char* failureText) : nl_(nl) {
    try {
      storage_.assign(static_cast<std::size_t>(nh - nl + 2), T{});
    } catch (...) {
      reportNumericError(failureText);
    }
  }
  bool ok() const { return !storage_.empty(); }
  T& operator[](long i) { return storage_[static_cast<std::size_t>(i - nl_)]; }
  const T& operator[](long i) const { return storage_[static_cast<std::size_t>(i - nl_)]; }
  // Pointer such that p[i] is element i (for i in nl..nh+1).
  T* indexed() { return storage_.data() - nl_; }

 private:
  std::vector<T> storage_;
  long nl_ = 0;
};

using FloatVector = IndexedVector<float>;
using IntVector = IndexedVector<int>;
using DoubleVector = IndexedVector<double>;

// `vector`, `ivector`, `dvector` of the published kit.
inline FloatVector vector(long nl, long nh) {
  return FloatVector(nl, nh, "allocation failure in vector()");
}
inline IntVector ivector(long nl, long nh) {
  return IntVector(nl, nh, "allocation failure in ivector()");
}
inline DoubleVector dvector(long nl, long nh) {
  return DoubleVector(nl, nh, "allocation failure in dvector()");
}

// A float matrix indexable [nrl..nrh][ncl..nch] through row pointers: one
// block of row pointers and one block of all elements, zero-initialised.
class FloatMatrix {
 public:
  FloatMatrix() = default;
  FloatMatrix(long nrl, long nrh, long ncl, long nch);
  bool ok() const { return !rows_.empty() && !elements_.empty(); }
  float* operator[](long row) { return rows_[static_cast<std::size_t>(row - nrl_)]; }
  const float* operator[](long row) const { return rows_[static_cast<std::size_t>(row - nrl_)]; }
  FloatMatrix(const FloatMatrix&) = delete;
  FloatMatrix& operator=(const FloatMatrix&) = delete;
  FloatMatrix(FloatMatrix&&) = default;
  FloatMatrix& operator=(FloatMatrix&&) = default;

 private:
  std::vector<float*> rows_;
  std::vector<float> elements_;
  long nrl_ = 0;
};

// `matrix` of the published kit.
inline FloatMatrix matrix(long nrl, long nrh, long ncl, long nch) {
  return FloatMatrix(nrl, nrh, ncl, nch);
}

}  // namespace nr
}  // namespace fazorn
