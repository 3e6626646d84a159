#pragma once
// A page followed by an inaccessible one: a kernel given bytes that end at
// end() faults if it reads past them.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

class GuardPage {
 public:
  GuardPage() noexcept {
    void* map = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    if (mprotect(static_cast<char*>(map) + page_, page_, PROT_NONE) != 0) {
      munmap(map, 2 * page_);
      return;
    }
    map_ = static_cast<char*>(map);
  }
  GuardPage(const GuardPage&) = delete;
  GuardPage& operator=(const GuardPage&) = delete;
  ~GuardPage() {
    if (map_ != nullptr) munmap(map_, 2 * page_);
  }

  bool ok() const noexcept { return map_ != nullptr; }
  // The end of the accessible page: the first byte that faults.
  char* end() const noexcept { return map_ + page_; }

 private:
  std::size_t page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  char* map_ = nullptr;
};
