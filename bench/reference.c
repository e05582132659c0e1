/* The floor of an update pass: the system calls it cannot do without, made
 * directly, with the updater's durability. For each staged file X in
 * FOLDER/SelfTemp whose part after the first dot is exe or dll: unlink the
 * backup X.Old, rename X to X.Old, copy the staged X to a temporary in FOLDER
 * with one copy call, fsync it, rename it to X, fsync FOLDER, unlink the
 * staged X; at the end, fsync FOLDER/SelfTemp once. Every name is relative
 * to an open folder, as the cheapest pass would use them.
 *
 *   reference FOLDER          with the fsyncs
 *   reference FOLDER nosync   the same without them
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static int applied(const char *name) {
  const char *dot = strchr(name, '.');
  return dot && (strcasecmp(dot + 1, "exe") == 0 || strcasecmp(dot + 1, "dll") == 0);
}

/* One call for a file that fits in one, as every file of the benchmark does. */
static int copy(int in, int out, off_t size) {
  while (size > 0) {
    ssize_t n = copy_file_range(in, NULL, out, NULL, (size_t)size, 0);
    if (n <= 0) return -1;
    size -= n;
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  const int durable = !(argc > 2 && strcmp(argv[2], "nosync") == 0);
  int folder = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int staging = folder < 0 ? -1 : openat(folder, "SelfTemp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = staging < 0 ? NULL : fdopendir(dup(staging));
  if (!dir) return 1;
  char backup[300], temporary[32];
  unsigned counter = 0;
  struct dirent *e;
  while ((e = readdir(dir)) != NULL) {
    if (e->d_type == DT_DIR || !applied(e->d_name)) continue;
    snprintf(backup, sizeof backup, "%s.Old", e->d_name);
    snprintf(temporary, sizeof temporary, ".reference-%u", counter++);
    unlinkat(folder, backup, 0);
    renameat(folder, e->d_name, folder, backup);
    int in = openat(staging, e->d_name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return 1;
    int out = openat(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0 || copy(in, out, st.st_size) != 0) return 1;
    if (durable && fsync(out) != 0) return 1;
    close(out);
    close(in);
    if (renameat(folder, temporary, folder, e->d_name) != 0) return 1;
    if (durable && fsync(folder) != 0) return 1;
    unlinkat(staging, e->d_name, 0);
  }
  closedir(dir);
  if (durable && fsync(staging) != 0) return 1;
  return 0;
}
