#include "function.hpp"
#include "globals.hpp"
#include "source_lines.hpp"

#include <datetime.h>

namespace lines = source_lines::extracting_common_details;

// The nine values read from the setting, in the order they are asked for;
// the n-th is asked for at line lines::first_get + n.
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
static constexpr int record_size = 3 + field_count;

static PyObject* time_format;
static PyObject* in_time_key;
static PyObject* channel_group_id_key;
static PyObject* channel_type_key;
static PyObject* record_keys[field_count];
static PyObject* setting_keys[field_count];

static int prepare() noexcept
{
    if (intern_into(&time_format, "%Y-%m-%dT%H:%M:%S") < 0 || intern_into(&in_time_key, "in_time") < 0
        || intern_into(&channel_group_id_key, "channel_group_id") < 0
        || intern_into(&channel_type_key, "channel_type") < 0)
        return -1;
    for (int i = 0; i < field_count; ++i) {
        if (intern_into(&record_keys[i], setting_fields[i].record_key) < 0
            || intern_into(&setting_keys[i], setting_fields[i].setting_key) < 0)
            return -1;
    }
    return 0;
}

// The bound classmethod datetime.datetime.utcnow, for the C datetime type;
// NULL when the host's datetime module offers no C API.
static PyObject* datetime_utcnow;

int record_datetime_api(PyObject* datetime_module) noexcept
{
    if (PyDateTimeAPI)
        return 0;
    PyObject* capsule;
    if (PyObject_GetOptionalAttrString(datetime_module, "datetime_CAPI", &capsule) < 0)
        return -1;
    Ref owned = Ref::steal(capsule);
    // Without the C implementation every time simply goes through strftime.
    if (!capsule || !PyCapsule_IsValid(capsule, PyDateTime_CAPSULE_NAME))
        return 0;
    auto* api = (PyDateTime_CAPI*)PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME);
    Ref utcnow = Ref::steal(PyObject_GetAttr((PyObject*)api->DateTimeType, names.utcnow));
    if (!utcnow)
        return -1;
    datetime_utcnow = utcnow.release();
    PyDateTimeAPI = api;
    return 0;
}

// datetime.utcnow(). The C datetime type is immutable, so when `datetime` is
// that very type its utcnow is always the method bound once at import.
static Ref read_clock(PyObject* datetime) noexcept
{
    if (PyDateTimeAPI && datetime == (PyObject*)PyDateTimeAPI->DateTimeType)
        return Ref::steal(PyObject_CallNoArgs(datetime_utcnow));
    return Ref::steal(PyObject_CallMethodNoArgs(datetime, names.utcnow));
}

static void write_digits(char* end, int value, int count) noexcept
{
    while (count--) {
        *--end = (char)('0' + value % 10);
        value /= 10;
    }
}

// current_time.strftime("%Y-%m-%dT%H:%M:%S"). An exact C datetime cannot have
// its strftime replaced, and with a four-digit year its text is fixed, so it
// is written directly; any other object formats itself.
static Ref format_time(PyObject* current_time) noexcept
{
    if (!PyDateTimeAPI || !Py_IS_TYPE(current_time, PyDateTimeAPI->DateTimeType))
        return Ref::steal(PyObject_CallMethodOneArg(current_time, names.strftime, time_format));
    const int year = PyDateTime_GET_YEAR(current_time);
    if (year < 1000 || year > 9999)
        return Ref::steal(PyObject_CallMethodOneArg(current_time, names.strftime, time_format));
    Ref text = Ref::steal(PyUnicode_New(19, 127));
    if (!text)
        return text;
    char* out = (char*)PyUnicode_1BYTE_DATA(text.get());
    write_digits(out + 4, year, 4);
    out[4] = '-';
    write_digits(out + 7, PyDateTime_GET_MONTH(current_time), 2);
    out[7] = '-';
    write_digits(out + 10, PyDateTime_GET_DAY(current_time), 2);
    out[10] = 'T';
    write_digits(out + 13, PyDateTime_DATE_GET_HOUR(current_time), 2);
    out[13] = ':';
    write_digits(out + 16, PyDateTime_DATE_GET_MINUTE(current_time), 2);
    out[16] = ':';
    write_digits(out + 19, PyDateTime_DATE_GET_SECOND(current_time), 2);
    return text;
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
    *line = lines::utcnow;
    Ref datetime = lookup_global(names.datetime);
    if (!datetime)
        return nullptr;
    Ref current_time = read_clock(datetime.get());
    if (!current_time)
        return nullptr;

    *line = lines::strftime;
    Ref formatted_time = format_time(current_time.get());
    if (!formatted_time)
        return nullptr;

    *line = lines::record;
    Ref record = Ref::steal(_PyDict_NewPresized(record_size));
    if (!record || PyDict_SetItem(record.get(), in_time_key, formatted_time.get()) < 0
        || PyDict_SetItem(record.get(), channel_group_id_key, instagram_channel_group_id) < 0
        || PyDict_SetItem(record.get(), channel_type_key, channel_type) < 0)
        return nullptr;

    // Each value goes into the record as soon as it is read, before the next
    // lookup runs the setting's code again.
    for (int i = 0; i < field_count; ++i) {
        *line = lines::first_get + i;
        Ref value = setting_get(setting_obj, setting_keys[i]);
        if (!value)
            return nullptr;
        *line = lines::record;
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
    {"extracting_common_details", lines::def, 3, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 5},
    nullptr,
    0,
    extracting_common_details,
    function_vectorcall<extracting_common_details_def, extracting_common_details>,
    prepare,
    nullptr,
    {},
};
