/* entry.c -- the entry point of a consumer built without a C runtime of its own: the command
   line from msvcrt.dll, then main, then msvcrt.dll's exit (which flushes the streams). */
int main(int argc, char** argv);
int __getmainargs(int* argc, char*** argv, char*** environment, int expand, int* startInfo);
void exit(int status);

void mainCRTStartup(void) {
  int argc = 0;
  char** argv = 0;
  char** environment = 0;
  int startInfo = 0;
  __getmainargs(&argc, &argv, &environment, 0, &startInfo);
  exit(main(argc, argv));
}
