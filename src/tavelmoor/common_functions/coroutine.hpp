#pragma once

#include "function.hpp"

// A coroutine body with one await: `start` runs up to the await and returns
// the object to await; `finish` runs from the await's value to the result.
// Both get the bound arguments (borrowed) and, on failure, return NULL with
// *line set to the line that failed.
struct CoroutineDef {
    PyObject* (*start)(PyObject* const* args, int* line);
    PyObject* (*finish)(PyObject* const* args, PyObject* awaited_value, int* line);
    const FunctionDef* function;  // its code object is cr_code; its name names the coroutine
    int await_line;
};

// A new, not yet started coroutine holding the function's bound arguments.
Ref make_coroutine(const CoroutineDef& def, PyObject* const* args) noexcept;

int ready_coroutine_type() noexcept;
