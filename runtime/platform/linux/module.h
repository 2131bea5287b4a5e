// Code loaded at run time, only from places fixed relative to the running program.
#pragma once

// Looks for file_name beside the program, then in relative_folder (taken from the
// program's folder). Loads the first one that only the system's administrator or this user
// can have put there (the file and the folder it really lies in), and returns its symbol.
// Returns null when no such module loads or it lacks the symbol.
void* module_load_symbol(const char* file_name, const char* relative_folder, const char* symbol);
