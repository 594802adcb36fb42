// File helpers of the undo store: paths, whole-file reads, copies and hashes, and the
// temporary files that killed runs left behind.
#pragma once

#include <cstdint>
#include <string>

#include "undo/undo.h"

bool is_path_separator(char c);
// dir joined with name by the platform's separator.
std::string path_in(const std::string &dir, const std::string &name);
// Makes path and every folder above it that is missing. false with the system's error set.
bool make_folders(const std::string &path);
// The whole file at path. false with the system's error set.
bool read_whole(const std::string &path, std::string *out);
// Copies the file from into a new file to (which must not exist), flushed to the disk. false
// with the system's error set, and nothing left at to.
bool copy_whole(const std::string &from, const std::string &to);
// The size and content hash of the file at path (followed through links). false with the
// system's error set.
bool hash_of_file(const std::string &path, uint64_t *size, uint64_t *hash);
// Removes the temporary file that the run left for entry, if it is there and holds exactly
// what the run wrote (so it is the run's, never a file of the user's of the same name).
void remove_leftover_temp(const undo_entry &entry);
// Removes a temporary file with a name the run made, if it is there and is still that file (or,
// with only the intent noted, empty: the run was killed before it knew more).
void remove_made_temp(const undo_made_temp &temp);
