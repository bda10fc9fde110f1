/* Test-only library for the in-memory loader. It carries base relocations (the pointer below and
 * every call through the import address table), imports by name and by ordinal from two import
 * descriptors that name the same library in different letter case, two forwarded exports (to a
 * name and to "#12"), and an entry point that reports every call and can refuse the attach.
 * Built without the C run-time, so it has no thread-local storage. */
__declspec(dllimport) int HelperAdd(int a, int b);
__declspec(dllimport) int HelperTwelve(void);
__declspec(dllimport) void HelperNote(int reason);
__declspec(dllimport) int HelperRefuse(void);

/* The import address table slots, reachable as data so that a test that does not run the code
 * can still look at what the loader bound. */
extern void* _imp__HelperAdd;
extern void* _imp__HelperTwelve;
extern void* _imp__HelperNote;

int TestValue = 0x5A5A1234;
int* TestPointer = &TestValue;
void** TestAddSlot = &_imp__HelperAdd;
void** TestTwelveSlot = &_imp__HelperTwelve;
void** TestNoteSlot = &_imp__HelperNote;

int TestAdd(int a, int b) { return HelperAdd(a, b); }
int TestOrdinal(void) { return HelperTwelve(); }
int TestReadPointer(void) { return *TestPointer; }

int __stdcall DllMain(void* module, unsigned reason, void* reserved) {
  (void)module;
  (void)reserved;
  HelperNote((int)reason);
  if (reason == 1)
    return !HelperRefuse();
  return 1;
}
