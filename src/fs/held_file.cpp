#include "fs/held_file.h"

bool HoldForRunning(UniqueFileHandle& file) {
  // Windows does not start a program while any handle can write to its
  // file, our own included. The writing handle is traded for one that only
  // reads through a middle handle that shares writing (only with the first):
  // nobody can delete or rename the file at any moment, and a writer who got
  // in between would make the last open fail. What the file holds is checked
  // through the last handle, after which nothing can change it.
  UniqueFileHandle shared(
      ReOpenFile(file.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  if (!shared) return false;
  file.reset();
  file.reset(ReOpenFile(shared.get(), GENERIC_READ, FILE_SHARE_READ, 0));
  return file.valid();
}
