#include "binding/borrow.h"

#include <pthread.h>

namespace velm::py {

namespace {

std::atomic<BorrowHold*> g_holds{nullptr};  // the borrows in progress, newest first
std::uint64_t g_last_thread = 0;            // the last thread number handed out
// This thread's number, taken at its first borrow; 0 for a thread that never borrowed. Numbers
// are never reused, also not by threads a forked child starts.
thread_local std::uint64_t t_thread = 0;

// Runs in the child right after fork(), on the only thread the child has. The other threads'
// stacks still hold their links, untouched: give their borrows back and drop them from the list.
void give_back_lost_borrows() noexcept {
  for (BorrowHold* hold = g_holds.load(std::memory_order_acquire); hold != nullptr;) {
    BorrowHold* next = hold->next.load(std::memory_order_acquire);
    if (hold->thread != t_thread) {
      if (hold->exclusive) {
        *hold->flag = 0;
      } else {
        --*hold->flag;
      }
      unlink_hold(*hold);
    }
    hold = next;
  }
}

}  // namespace

void link_hold(BorrowHold& hold) noexcept {
  if (t_thread == 0) t_thread = ++g_last_thread;
  hold.thread = t_thread;
  hold.prev = nullptr;
  BorrowHold* head = g_holds.load(std::memory_order_relaxed);
  hold.next.store(head, std::memory_order_relaxed);
  if (head != nullptr) head->prev = &hold;
  g_holds.store(&hold, std::memory_order_release);  // published whole
}

void unlink_hold(BorrowHold& hold) noexcept {
  BorrowHold* next = hold.next.load(std::memory_order_relaxed);
  if (hold.prev != nullptr) {
    hold.prev->next.store(next, std::memory_order_release);
  } else {
    g_holds.store(next, std::memory_order_release);
  }
  if (next != nullptr) next->prev = hold.prev;
}

void install_borrow_fork_handler() noexcept {
  static const int registered = ::pthread_atfork(nullptr, nullptr, give_back_lost_borrows);
  (void)registered;
}

}  // namespace velm::py
