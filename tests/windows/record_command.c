/* Stands in for a system program under wine: appends the command line it was started
   with, in UTF-8, to the file KV_RECORD names, and succeeds. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
  char line[8192];
  const char* path = getenv("KV_RECORD");
  FILE* record = path ? fopen(path, "ab") : NULL;
  if (!record || !WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line, NULL, NULL)) return 1;
  fprintf(record, "%s\n", line);
  return fclose(record) != 0;
}
