// The per-instance borrow counter: 0 when free, a count of shared borrows, or -1 (all bits set)
// for the one exclusive borrow. Python code called back from inside an operation can reach the
// same instance again; the counter refuses overlapping changes.
//
// Every borrow in progress is also linked into one process-wide list (changed only under the
// interpreter lock), so that a child made by fork() can give back the borrows held by the threads
// it did not inherit: they will never end there, and would leave their instances unusable.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.h"
#include "binding/fixed_texts.h"

namespace velm::py {

using BorrowFlag = std::intptr_t;
inline constexpr BorrowFlag kExclusive = -1;

// One borrow in progress: which counter, which kind, which thread. The forward links are atomic
// so that the list reads whole in a child even when fork() was called by a thread that did not
// hold the interpreter lock while another changed the list.
struct BorrowHold {
  BorrowFlag* flag;
  bool exclusive;
  std::uint64_t thread = 0;
  BorrowHold* prev = nullptr;
  std::atomic<BorrowHold*> next{nullptr};
};

void link_hold(BorrowHold& hold) noexcept;
void unlink_hold(BorrowHold& hold) noexcept;

// Registers the fork handler that gives back other threads' borrows in the child. Called once at
// module initialisation, before any borrow is taken.
void install_borrow_fork_handler() noexcept;

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : hold_{&flag, false} {
    if (flag == kExclusive) raise(PyExc_RuntimeError, fixed_text::kAlreadyMutablyBorrowed);
    ++flag;
    link_hold(hold_);
  }
  ~SharedBorrow() {
    --*hold_.flag;
    unlink_hold(hold_);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowHold hold_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : hold_{&flag, true} {
    if (flag != 0) raise(PyExc_RuntimeError, fixed_text::kAlreadyBorrowed);
    flag = kExclusive;
    link_hold(hold_);
  }
  ~ExclusiveBorrow() {
    *hold_.flag = 0;
    unlink_hold(hold_);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowHold hold_;
};

}  // namespace velm::py
