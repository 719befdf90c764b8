#pragma once
// Lowers this process's soft limit on open descriptors for one scope, so the
// next descriptor a call asks for is refused with EMFILE (or a poll over more
// descriptors than the limit fails with EINVAL). Descriptors already open stay
// open. Restores the old limit when it goes.
//
// Threads: the limit is the whole process's; use it where no other thread of
// the test opens descriptors meanwhile.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bridge::test {

class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &old_);
    rlimit lowered = old_;
    lowered.rlim_cur = soft;
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &old_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  bool ok_ = false;
};

// The lowest descriptor number not in use: a soft limit of this value leaves
// no descriptor to give, since the system always hands out the lowest.
inline int lowestFreeDescriptor() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return fd;
}

}  // namespace bridge::test
