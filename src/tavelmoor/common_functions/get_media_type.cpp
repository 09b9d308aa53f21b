#include "function.hpp"

static PyObject* get_media_type(PyObject* const*, int* line) noexcept
{
    *line = 23;
    PyErr_SetString(PyExc_NotImplementedError, "get_media_type");
    return nullptr;
}

static const char* const varnames[] = {"media_type", "media_type_mapping"};
static const char* const annotations[] = {"media_type", "str", "return", "int"};
FunctionDef get_media_type_def = {
    "get_media_type",
    "tavelmoor.common_functions.get_media_type",
    {"get_media_type", 23, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 2},
    annotations,
    2,
    get_media_type,
    nullptr,
    nullptr,
    {},
};
