// The module is mapped from memory by a loader that does not set up static thread-local storage,
// so the DLL must carry no TLS directory. The C runtime's start-up code only asks for this
// callback pointer; defining it here (null: there is no thread-local data to initialise) keeps
// the runtime's TLS support object, and with it the directory, out of the link.
#include <windows.h>

extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;
