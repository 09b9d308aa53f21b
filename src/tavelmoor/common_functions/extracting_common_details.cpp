#include "function.hpp"

static PyObject* extracting_common_details(PyObject* const*, int* line) noexcept
{
    *line = 105;
    PyErr_SetString(PyExc_NotImplementedError, "extracting_common_details");
    return nullptr;
}

static const char* const varnames[] = {"setting_obj", "channel_type", "instagram_channel_group_id", "current_time", "formatted_time"};

FunctionDef extracting_common_details_def = {
    "extracting_common_details",
    "tavelmoor.common_functions.extracting_common_details",
    {"extracting_common_details", 105, 3, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 5},
    nullptr,
    0,
    extracting_common_details,
    nullptr,
    nullptr,
    {},
};
