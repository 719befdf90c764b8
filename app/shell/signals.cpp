#include "app/shell/signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace bridge {

ShutdownSignals::ShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw std::system_error(error, std::generic_category(), "cannot create signalfd");
  }
  ::signal(SIGPIPE, SIG_IGN);
}

ShutdownSignals::~ShutdownSignals() {
  ::close(fd_);
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int ShutdownSignals::take() {
  int last = 0;
  signalfd_siginfo info;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) last = static_cast<int>(info.ssi_signo);
  return last;
}

}  // namespace bridge
