#include "function.hpp"

static PyObject* process_parent_post(PyObject* const*, int* line) noexcept
{
    *line = 93;
    PyErr_SetString(PyExc_NotImplementedError, "process_parent_post");
    return nullptr;
}

static const char* const varnames[] = {"post_id", "instagram_api", "access_token", "response_data"};

FunctionDef process_parent_post_def = {
    "process_parent_post",
    "tavelmoor.common_functions.process_parent_post",
    {"process_parent_post", 93, 3, CO_OPTIMIZED | CO_NEWLOCALS | CO_COROUTINE, varnames, 4},
    nullptr,
    0,
    process_parent_post,
    nullptr,
    nullptr,
    {},
};
