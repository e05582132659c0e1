/* The 1000-file baseline: the system calls an update pass cannot do without,
 * made directly, with the updater's durability. For each staged file X in
 * FOLDER/SelfTemp whose part after the first dot is exe or dll: unlink the
 * backup X.Old, rename X to X.Old, copy the staged X to a temporary in FOLDER,
 * fsync it, rename it to X, fsync FOLDER, unlink the staged X.
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

static int copy(int in, int out) {
  for (;;) {
    ssize_t n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0);
    if (n == 0) return 0;
    if (n < 0) return -1;
  }
}

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  const int durable = !(argc > 2 && strcmp(argv[2], "nosync") == 0);
  const char *folder = argv[1];
  char staging[4096], source[4352], target[4096], backup[4100], temporary[4096];
  snprintf(staging, sizeof staging, "%s/SelfTemp", folder);
  int dirfd = open(folder, O_RDONLY | O_DIRECTORY);
  DIR *dir = opendir(staging);
  if (dirfd < 0 || !dir) return 1;
  unsigned counter = 0;
  struct dirent *e;
  while ((e = readdir(dir)) != NULL) {
    if (e->d_type == DT_DIR || !applied(e->d_name)) continue;
    snprintf(source, sizeof source, "%s/%s", staging, e->d_name);
    snprintf(target, sizeof target, "%s/%s", folder, e->d_name);
    snprintf(backup, sizeof backup, "%s.Old", target);
    snprintf(temporary, sizeof temporary, "%s/.reference-%u", folder, counter++);
    unlink(backup);
    rename(target, backup);
    int in = open(source, O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return 1;
    int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777);
    if (out < 0 || copy(in, out) != 0) return 1;
    if (durable && fsync(out) != 0) return 1;
    close(out);
    close(in);
    if (rename(temporary, target) != 0) return 1;
    if (durable && fsync(dirfd) != 0) return 1;
    unlink(source);
  }
  closedir(dir);
  close(dirfd);
  return 0;
}
