#pragma once

#include "ref.hpp"

// A function body gets its bound arguments (borrowed, in parameter order).
// On failure it returns NULL and sets *line to the source line that failed,
// or leaves it at 0 when the error must carry no entry of the module.
using FunctionBody = PyObject* (*)(PyObject* const* args, int* line);

struct CodeDef {
    const char* name;
    int first_line;
    int argcount;
    int flags;
    const char* const* varnames;
    int nvarnames;
};

struct FunctionDef {
    const char* name;
    const char* qualified_name;     // module name + "." + name, for traceback entries
    CodeDef code;                   // parameters are the first code.argcount varnames
    const char* const* annotations; // key, value pairs
    int nannotations;
    FunctionBody body;
    vectorcallfunc vectorcall;      // function_vectorcall<this def, body>
    int (*prepare)();               // builds the body's constants at module execution; may be NULL

    // Made at module execution and kept for the life of the process.
    PyObject* code_object;
    PyObject* parameters[3];        // interned parameter names
};

extern FunctionDef get_hashtags_def;
extern FunctionDef get_media_type_def;
extern FunctionDef extract_brand_ids_and_category_ids_def;
extern FunctionDef process_parent_post_def;
extern FunctionDef extracting_common_details_def;

// A call that function_vectorcall leaves to the binding rules: keywords, or a
// count of positional arguments other than the parameters'.
PyObject* call_with_binding(const FunctionDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// Adds the function's entry at `line` to the exception that leaves its body.
void add_function_entry(const FunctionDef& def, int line) noexcept;

// The vectorcall of a function: instantiated where the body is defined, so
// that the common call, the parameters' count of positional arguments and no
// keywords, runs the body inline with nothing to bind.
template <FunctionDef& def, FunctionBody body>
PyObject* function_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    if (kwnames || PyVectorcall_NARGS(nargsf) != def.code.argcount)
        return call_with_binding(def, args, nargsf, kwnames);
    int line = 0;
    PyObject* result = body(args, &line);
    if (!result && line)
        add_function_entry(def, line);
    return result;
}

// Builds the code object, parameter names and constants of `def`.
int prepare_function(FunctionDef& def) noexcept;

// A new function object for `def`, with `globals` as __globals__.
Ref make_function(FunctionDef& def, PyObject* globals, PyObject* annotations) noexcept;

int ready_function_type() noexcept;
