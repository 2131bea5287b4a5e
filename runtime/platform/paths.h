// File-system questions of the text-mode file dialog: where a typed path points.
#pragma once
#include <string>

// The absolute form of a typed path: a leading "~" or "~/" stands for the home folder, a
// path not starting with '/' is taken from the current directory. Nothing is resolved.
// Returns the empty text when the current directory cannot be had.
std::string path_absolute(const std::string& typed);

// The canonical form of an existing folder (links and "." and ".." resolved). Returns
// false when the folder does not exist or is not a folder.
bool path_resolve_folder(const std::string& folder, std::string* resolved);

// The longest path the system takes, in bytes with the terminating zero.
size_t path_max_bytes();

// True when the path names an existing folder / anything that exists.
bool path_is_folder(const std::string& path);
bool path_exists(const std::string& path);

// Splits a path into its folder and its last name ("a/b" gives "a" and "b", "b" gives "."
// and "b", "/b" gives "/" and "b"). A path ending in a separator has no name: it can only
// be a folder.
void path_split(const std::string& path, std::string* folder, std::string* name);

// The path of name inside folder, with one separator between them.
std::string path_join(const std::string& folder, const std::string& name);
