#pragma once
// An append/remove list that signal handlers may walk while other threads change it.
//
// Writers (append, prepend, remove) allocate nodes and are serialised by a spin lock; they
// run at ordinary times only ("nasync"). Readers take no lock and allocate nothing: a reader
// marks itself with set_reading(true), walks with next(), and unmarks with set_reading(false)
// on every exit path. A node unlinked while any reader is marked is not freed but parked on a
// free list (reused only by appends made while no reader is marked), so a reader never
// touches freed memory or a node relinked under it; it may wander onto the free list and see
// already-removed values before it reaches the end.
//
// Values are copied into nodes and never freed by the list. A zero-initialised list is a
// valid empty list, so static instances need no constructor to run before a crash.

#include <stdint.h>
#include <stdlib.h>

#include "VUCrashAsyncLog.h"

namespace vucrash {
namespace VU {
namespace async {

template <typename V>
class async_list {
 public:
  class node {
   public:
    V value() const { return _value; }
    V *value_ptr() { return &_value; }
    node *next() const { return __atomic_load_n(&_next, __ATOMIC_ACQUIRE); }

   private:
    friend class async_list;
    V _value;
    node *_prev;
    node *_next;
  };

  constexpr async_list() = default;
  async_list(const async_list &) = delete;
  async_list &operator=(const async_list &) = delete;

  ~async_list() {
    free_chain(_head);
    free_chain(_free);
  }

  void nasync_append(V value) {
    lock();
    node *n = take_node(value);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (_tail != nullptr) {
      node *expected = nullptr;
      if (!__atomic_compare_exchange_n(&_tail->_next, &expected, n, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        VUCR_LOG("Failed to append to image list despite holding lock");
      n->_prev = _tail;
      _tail = n;
    } else {
      _tail = n;
      node *expected = nullptr;
      if (!__atomic_compare_exchange_n(&_head, &expected, n, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        VUCR_LOG("An async image head was set with tail == NULL despite holding lock.");
    }
    unlock();
  }

  void nasync_prepend(V value) {
    lock();
    node *n = take_node(value);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (_tail != nullptr) {
      node *oldHead = _head;
      n->_next = oldHead;
      n->_prev = nullptr;
      oldHead->_prev = n;
      __atomic_thread_fence(__ATOMIC_SEQ_CST);
      if (!__atomic_compare_exchange_n(&_head, &oldHead, n, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        VUCR_LOG("Failed to prepend to image list despite holding lock");
    } else {
      _tail = n;
      node *expected = nullptr;
      if (!__atomic_compare_exchange_n(&_head, &expected, n, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        VUCR_LOG("An async image head was set with tail == NULL despite holding lock.");
    }
    unlock();
  }

  void nasync_remove_node(node *deleted) {
    lock();
    node *item = _head;
    while (item != nullptr && item != deleted)
      item = item->_next;
    if (item == nullptr) {
      unlock();
      return;
    }
    node *successor = deleted->_next;
    node *predecessor = deleted->_prev;
    if (deleted == _head) {
      node *expected = deleted;
      if (!__atomic_compare_exchange_n(&_head, &expected, successor, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        VUCR_LOG("Failed to remove image list head despite holding lock");
    } else {
      node *expected = deleted;
      if (!__atomic_compare_exchange_n(&predecessor->_next, &expected, successor, false,
                                       __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        VUCR_LOG("Failed to remove image list item despite holding lock");
    }
    if (successor != nullptr)
      successor->_prev = predecessor;
    else
      _tail = predecessor;

    if (__atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) < 1) {
      free(deleted);
    } else {
      // A reader may stand on this node: keep it, and let its next pointer change only now
      // that it is off the main chain.
      deleted->_prev = nullptr;
      __atomic_store_n(&deleted->_next, _free, __ATOMIC_SEQ_CST);
      if (_free != nullptr)
        _free->_prev = deleted;
      _free = deleted;
    }
    unlock();
  }

  void set_reading(bool enable) {
    __atomic_add_fetch(&_refcount, enable ? 1 : -1, __ATOMIC_SEQ_CST);
  }

  // The node after current (the first node for nullptr), or nullptr at the end. The caller
  // must be a marked reader.
  node *next(node *current) {
    if (__atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) < 1) {
      VUCR_LOG("Assertion failed: _refcount > 0");
      abort();
    }
    if (current != nullptr)
      return current->next();
    return __atomic_load_n(&_head, __ATOMIC_ACQUIRE);
  }

 private:
  void lock() {
    while (__atomic_test_and_set(&_lock, __ATOMIC_ACQUIRE)) {
      while (__atomic_load_n(&_lock, __ATOMIC_RELAXED))
        __builtin_ia32_pause_or_nothing();
    }
  }
  void unlock() { __atomic_clear(&_lock, __ATOMIC_RELEASE); }

  static void __builtin_ia32_pause_or_nothing() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  // A parked node is reused only while no reader is marked: a reader may still stand on it
  // (or on a node whose next pointer leads to it), and rewriting its value and links would
  // show that reader another image, end its walk early or send it into the live chain.
  node *take_node(V value) {
    node *n = __atomic_load_n(&_refcount, __ATOMIC_SEQ_CST) < 1 ? _free : nullptr;
    if (n != nullptr) {
      _free = n->_next;
      if (_free != nullptr)
        _free->_prev = nullptr;
    } else {
      n = static_cast<node *>(malloc(sizeof(node)));
      if (n == nullptr) {
        VUCR_LOG("Assertion failed: ptr != __null");
        abort();
      }
    }
    n->_value = value;
    n->_prev = nullptr;
    n->_next = nullptr;
    return n;
  }

  static void free_chain(node *n) {
    while (n != nullptr) {
      node *next = n->_next;
      free(n);
      n = next;
    }
  }

  bool _lock = false;
  node *_head = nullptr;
  node *_tail = nullptr;
  int32_t _refcount = 0;
  node *_free = nullptr;
};

}  // namespace async
}  // namespace VU
}  // namespace vucrash
