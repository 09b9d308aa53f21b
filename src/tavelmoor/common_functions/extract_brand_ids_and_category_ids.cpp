#include "function.hpp"

static PyObject* extract_brand_ids_and_category_ids(PyObject* const*, int* line) noexcept
{
    *line = 86;
    PyErr_SetString(PyExc_NotImplementedError, "extract_brand_ids_and_category_ids");
    return nullptr;
}

static const char* const varnames[] = {"data", "brand_ids", "category_ids", "genexpr", "genexpr", "genexpr"};
static const char* const annotations[] = {"data", "List[Dict]", "return", "Tuple[str, str]"};
FunctionDef extract_brand_ids_and_category_ids_def = {
    "extract_brand_ids_and_category_ids",
    "tavelmoor.common_functions.extract_brand_ids_and_category_ids",
    {"extract_brand_ids_and_category_ids", 86, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 6},
    annotations,
    2,
    extract_brand_ids_and_category_ids,
    nullptr,
    nullptr,
    {},
};
