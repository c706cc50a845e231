// Work storage handed out to the threads of many independent searches (the
// randomisation runs) and taken back afterwards, so that storage of a
// periodogram's size is allocated once per thread instead of once per run.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace fazorn {

template <class T>
class WorkPool {
 public:
  // A free piece of storage, or a new one from make().
  template <class Make>
  std::unique_ptr<T> acquire(Make&& make) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!free_.empty()) {
        std::unique_ptr<T> w = std::move(free_.back());
        free_.pop_back();
        return w;
      }
    }
    return make();
  }
  void release(std::unique_ptr<T> w) {
    std::lock_guard<std::mutex> g(lock_);
    free_.push_back(std::move(w));
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<T>> free_;
};

}  // namespace fazorn
