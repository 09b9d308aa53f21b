#pragma once

#include "ref.hpp"

// The file name that every code object and traceback entry of the module shows.
inline constexpr const char source_filename[] = "tavelmoor/common_functions.py";

// Adds an entry (source file, function_name, line) to the traceback of the
// exception being raised, with the module's dict as the frame's globals.
// The exception itself is never replaced, even when the entry cannot be made.
// `function_name` must have static storage: the entry's code object is made
// once per name and line, and found again by the name's address.
void add_traceback_entry(const char* function_name, int line) noexcept;

// A StopIteration may not leave a coroutine or generator body, where it would
// read as the body's end: it becomes RuntimeError "generator raised
// StopIteration", with the StopIteration as cause and context.
void replace_stop_iteration() noexcept;
