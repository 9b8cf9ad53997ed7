/* The floor of the dialogue's pass: the two writes per emitted line (console,
   then file) straight from a 64 KiB read block, and nothing else. Lines are
   bracketed as the tool does; lines longer than the block are not handled,
   as the benchmark's print has none. Usage: floor INPUT OUTPUT > console */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

static int out;

static void emit(const char *line, size_t size) {
  if (write(1, line, size) != (ssize_t)size || write(out, line, size) != (ssize_t)size) _exit(1);
}

int main(int argc, char **argv) {
  static char block[64 * 1024];
  size_t held = 0;
  int in = argc == 3 ? open(argv[1], O_RDONLY) : -1;
  out = argc == 3 ? open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
  if (in < 0 || out < 0) return 1;
  for (;;) {
    ssize_t count = read(in, block + held, sizeof block - held);
    if (count <= 0) break;
    held += (size_t)count;
    char *start = block, *end = block + held, *feed;
    while ((feed = memchr(start, '\n', (size_t)(end - start))) != NULL) {
      size_t size = (size_t)(feed + 1 - start);
      int travel = memmem(start, size, "G0 ", 3) != NULL;
      if (travel) emit("M107\n", 5);
      emit(start, size);
      if (travel) emit("M106 S200\n", 10);
      start = feed + 1;
    }
    held = (size_t)(end - start);
    memmove(block, start, held);
  }
  return 0;
}
