#include "plat/unique_fd.h"

#include <fcntl.h>

#include <cerrno>

namespace plat {

bool MakePipe(UniqueFd* readEnd, UniqueFd* writeEnd, int flags, int* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | flags) != 0) {
    *error = errno;
    return false;
  }
  *readEnd = UniqueFd(fds[0]);
  *writeEnd = UniqueFd(fds[1]);
  return true;
}

}  // namespace plat
