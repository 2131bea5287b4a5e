#include "platform/module.h"

// The Windows programs have everything linked in: no module is ever loaded.
void* module_load_symbol(const char*, const char*, const char*) { return nullptr; }
