/* Test-only library that the mapped test module imports from: by name, by ordinal (12, exported
 * without a name), and through a second import descriptor that spells its name in upper case.
 * It counts the mapped module's entry-point calls and tells it whether to refuse the attach.
 * Built without the C run-time, so it has no thread-local storage. */
static int attachCalls;
static int detachCalls;
static int refuseAttach;

int HelperAdd(int a, int b) { return a + b; }
int HelperTwelve(void) { return 12; }
void HelperNote(int reason) {
  if (reason == 1)
    ++attachCalls;
  else if (reason == 0)
    ++detachCalls;
}
int HelperRefuse(void) { return refuseAttach; }
void HelperSetRefuse(int refuse) { refuseAttach = refuse; }
int HelperAttachCalls(void) { return attachCalls; }
int HelperDetachCalls(void) { return detachCalls; }

int __stdcall DllMain(void* module, unsigned reason, void* reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return 1;
}
