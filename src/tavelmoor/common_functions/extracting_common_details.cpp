#include "function.hpp"
#include "globals.hpp"

// The nine values read from the setting, in the order they are asked for;
// the n-th is asked for at line first_setting_line + n.
struct SettingField {
    const char* record_key;
    const char* setting_key;
};
static const SettingField setting_fields[] = {
    {"category_id", "CategoryID"},
    {"category_name", "CategoryName"},
    {"brand_id", "BrandID"},
    {"brand_name", "BrandName"},
    {"setting_id", "AccountID"},
    {"author_social_id", "InstagramGraphApiID"},
    {"user_profile_pic", "ProfilePic"},
    {"author_user_name", "ScreenName"},
    {"m_author_name", "AuthorName"},
};
static constexpr int field_count = sizeof setting_fields / sizeof setting_fields[0];
static constexpr int first_setting_line = 112;
static constexpr int record_size = 3 + field_count;

static PyObject* time_format;
static PyObject* in_time_key;
static PyObject* channel_group_id_key;
static PyObject* channel_type_key;
static PyObject* record_keys[field_count];
static PyObject* setting_keys[field_count];

// Fills whatever a failed earlier attempt left empty.
static int intern_once(PyObject** slot, const char* text) noexcept
{
    if (!*slot)
        *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

static int prepare() noexcept
{
    if (intern_once(&time_format, "%Y-%m-%dT%H:%M:%S") < 0 || intern_once(&in_time_key, "in_time") < 0
        || intern_once(&channel_group_id_key, "channel_group_id") < 0
        || intern_once(&channel_type_key, "channel_type") < 0)
        return -1;
    for (int i = 0; i < field_count; ++i) {
        if (intern_once(&record_keys[i], setting_fields[i].record_key) < 0
            || intern_once(&setting_keys[i], setting_fields[i].setting_key) < 0)
            return -1;
    }
    return 0;
}

// setting_obj.get(key). For an exact dict, whose get cannot be replaced,
// the lookup is done directly: same result, without the method call.
static Ref setting_get(PyObject* setting_obj, PyObject* key) noexcept
{
    if (!PyDict_CheckExact(setting_obj))
        return Ref::steal(PyObject_CallMethodOneArg(setting_obj, names.get, key));
    PyObject* value;
    if (PyDict_GetItemRef(setting_obj, key, &value) < 0)
        return Ref();
    return value ? Ref::steal(value) : Ref::borrow(Py_None);
}

static PyObject* extracting_common_details(PyObject* const* args, int* line) noexcept
{
    PyObject* setting_obj = args[0];
    PyObject* channel_type = args[1];
    PyObject* instagram_channel_group_id = args[2];

    // The clock is read before the setting is touched; `datetime` is resolved
    // at every call so that callers can fix the clock by rebinding it.
    *line = 106;
    Ref datetime = lookup_global(names.datetime);
    if (!datetime)
        return nullptr;
    Ref current_time = Ref::steal(PyObject_CallMethodNoArgs(datetime.get(), names.utcnow));
    if (!current_time)
        return nullptr;

    *line = 107;
    Ref formatted_time = Ref::steal(PyObject_CallMethodOneArg(current_time.get(), names.strftime, time_format));
    if (!formatted_time)
        return nullptr;

    *line = 109;
    Ref record = Ref::steal(_PyDict_NewPresized(record_size));
    if (!record || PyDict_SetItem(record.get(), in_time_key, formatted_time.get()) < 0
        || PyDict_SetItem(record.get(), channel_group_id_key, instagram_channel_group_id) < 0
        || PyDict_SetItem(record.get(), channel_type_key, channel_type) < 0)
        return nullptr;

    // Each value goes into the record as soon as it is read, before the next
    // lookup runs the setting's code again.
    for (int i = 0; i < field_count; ++i) {
        *line = first_setting_line + i;
        Ref value = setting_get(setting_obj, setting_keys[i]);
        if (!value)
            return nullptr;
        *line = 109;
        if (PyDict_SetItem(record.get(), record_keys[i], value.get()) < 0)
            return nullptr;
    }
    return record.release();
}

static const char* const varnames[] = {"setting_obj", "channel_type", "instagram_channel_group_id", "current_time",
                                       "formatted_time"};

FunctionDef extracting_common_details_def = {
    "extracting_common_details",
    "tavelmoor.common_functions.extracting_common_details",
    {"extracting_common_details", 105, 3, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 5},
    nullptr,
    0,
    extracting_common_details,
    prepare,
    nullptr,
    {},
};
