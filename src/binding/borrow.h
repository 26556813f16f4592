// The per-instance borrow counter: 0 when free, a count of shared borrows, or -1 (all bits set)
// for the one exclusive borrow. Python code called back from inside an operation can reach the
// same instance again; the counter refuses overlapping changes.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/errors.h"

namespace velm::py {

using BorrowFlag = std::intptr_t;
inline constexpr BorrowFlag kExclusive = -1;

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_;
  }
  ~SharedBorrow() { --flag_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag_ = kExclusive;
  }
  ~ExclusiveBorrow() { flag_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace velm::py
