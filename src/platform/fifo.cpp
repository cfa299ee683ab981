// Pipe FIFO primitives: a blocking pipe carrying fixed-size elements between
// the threads of one process.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/fifo.h"
#include "zrdb.h"

namespace zrdb {

ssize_t read_once(int fd, void *buf, size_t n) {
  ssize_t got = 0;
  do {
    got = read(fd, buf, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t write_once(int fd, const void *buf, size_t n) {
  ssize_t put = 0;
  do {
    put = write(fd, buf, n);
  } while (put < 0 && errno == EINTR);
  return put;
}

}  // namespace zrdb

using zrdb::read_once;
using zrdb::write_once;

extern "C" {

int hbdb_fifo_open(HBDB_FIFO *fifo, uint32_t size) {
  // Close-on-exec: a program started by a thread must not hold our pipes.
  if (pipe2(fifo->fd, O_CLOEXEC) != 0) {
    std::perror("pipe open");
    return -1;
  }
  fifo->size = size;
  pthread_mutex_init(&fifo->mutex, nullptr);
  return 0;
}

int hbdb_fifo_close(HBDB_FIFO *fifo) {
  int rc = 0;
  if (close(fifo->fd[0]) != 0) {
    std::perror("pipe close 0");
    rc = -1;
  }
  if (close(fifo->fd[1]) != 0) {
    std::perror("pipe close 1");
    rc = -1;
  }
  pthread_mutex_destroy(&fifo->mutex);
  return rc;
}

int hbdb_fifo_get_wsize(HBDB_FIFO *fifo, void *buf, uint32_t n) {
  if (read_once(fifo->fd[0], buf, n) != static_cast<ssize_t>(n)) {
    std::perror("fifo get read");
    return -1;
  }
  return 0;
}

int hbdb_fifo_get(HBDB_FIFO *fifo, void *buf) { return hbdb_fifo_get_wsize(fifo, buf, fifo->size); }

int hbdb_fifo_put_wsize(HBDB_FIFO *fifo, const void *buf, uint32_t n) {
  if (write_once(fifo->fd[1], buf, n) != static_cast<ssize_t>(n)) {
    std::perror("fifo put write");
    return -1;
  }
  return 0;
}

int hbdb_fifo_put(HBDB_FIFO *fifo, const void *buf) {
  pthread_mutex_lock(&fifo->mutex);
  const int rc = hbdb_fifo_put_wsize(fifo, buf, fifo->size);
  pthread_mutex_unlock(&fifo->mutex);
  return rc;
}

int hbdb_fifo_getInputFd(const HBDB_FIFO *fifo) { return fifo->fd[0]; }

int hbdb_fifo_getOutputFd(const HBDB_FIFO *fifo) { return fifo->fd[1]; }

}  // extern "C"
